// One run of orvel-sim: attach the virtual devices, run the command, write the
// flash and trace files back.
#pragma once

#include <glib.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "hidraw_testbed.h"
#include "sim_options.h"
#include "virtual_port.h"

namespace orvel_sim {

constexpr int kSetupFailure = 125;

class SimRun {
 public:
  explicit SimRun(const SimOptions& options) : options_(options) {}
  SimRun(const SimRun&) = delete;
  SimRun& operator=(const SimRun&) = delete;
  ~SimRun();

  // The exit status for orvel-sim: the command's, or kSetupFailure.
  int Run();

 private:
  bool Prepare();
  // The first board of every port (every device outside conveyor mode).
  bool AttachFirstBoards();
  bool AttachBoard(int board);
  // Main thread, once the board's node is off the bus.
  void BoardLeft(int board);
  bool SaveToFlashDir(int board);
  bool Finish();
  // Puts orvel-sim's libraries in front of the command's preloads: the
  // yield library, and the no_access one for --no-access.
  bool PrepareCommandLibraries(std::vector<std::string>& environment);
  void Fail(const std::string& message);
  // A board failed to attach while COMMAND runs (Fail() said why): the
  // command ends, and orvel-sim with status 125.
  void EndCommand();

  static gboolean OnAppearTime(gpointer self);
  static gboolean OnRemoval(gpointer target);
  static gboolean OnNextBoardTime(gpointer target);
  static gboolean OnUnusedTime(gpointer target);
  static gboolean OnSignal(gpointer self);
  static void OnChildExit(GPid pid, gint waitStatus, gpointer self);

  struct BoardTarget {
    SimRun* run;
    int board;
  };

  const SimOptions& options_;
  std::vector<BoardTarget> targets_;  // one per board, for the main loop's callbacks
  PortBus bus_;
  // Boards outlive the testbed, whose worker thread calls into them; null
  // until a board attaches.
  std::vector<std::unique_ptr<VirtualPort>> boards_;
  std::vector<bool> left_;              // off the bus, its flash saved
  std::vector<uint8_t> firstFlash_;     // board 0's flash until it attaches (--flash)
  std::unique_ptr<HidrawTestbed> testbed_;
  GMainLoop* loop_ = nullptr;
  pid_t child_ = -1;
  int childStatus_ = kSetupFailure;
  bool failed_ = false;
};

}  // namespace orvel_sim
