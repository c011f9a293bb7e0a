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
  bool AttachAll();
  bool Finish();
  bool RefuseAccessTo(const std::vector<int>& devices, std::vector<std::string>& environment);
  void Fail(const std::string& message);

  static gboolean OnAppearTime(gpointer self);
  static gboolean OnRemoval(gpointer target);
  static gboolean OnSignal(gpointer self);
  static void OnChildExit(GPid pid, gint waitStatus, gpointer self);

  struct RemovalTarget {
    SimRun* run;
    int index;
  };

  const SimOptions& options_;
  std::vector<RemovalTarget> removals_;  // one per port, for the idle callbacks
  PortBus bus_;
  // Ports outlive the testbed, whose worker thread calls into them.
  std::vector<std::unique_ptr<VirtualPort>> ports_;
  std::unique_ptr<HidrawTestbed> testbed_;
  GMainLoop* loop_ = nullptr;
  pid_t child_ = -1;
  int childStatus_ = kSetupFailure;
  bool failed_ = false;
  int signalToForward_ = 0;
};

}  // namespace orvel_sim
