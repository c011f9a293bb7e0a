#include "sim_run.h"

#include <glib-unix.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "child_process.h"
#include "sim_files.h"

extern char** environ;

namespace orvel_sim {

namespace {

struct SignalForward {
  SimRun* run;
  int signal;
};

// A board used this long ago that did not restart failed at the station:
// the operator takes it away (once no file of it is open).
int32_t UnusedLimitMs(const SimOptions& options) {
  constexpr int32_t kShortestLimitMs = 1000;
  return std::max(options.conveyor.gapMs, kShortestLimitMs);
}

}  // namespace

SimRun::~SimRun() {
  bus_.timer.Stop();
  testbed_.reset();  // before the boards: its worker thread calls into them
  boards_.clear();
  if (loop_) g_main_loop_unref(loop_);
}

void SimRun::Fail(const std::string& message) {
  std::fprintf(stderr, "orvel-sim: %s\n", message.c_str());
  failed_ = true;
}

void SimRun::EndCommand() {
  if (child_ > 0) kill(child_, SIGTERM);
}

bool SimRun::Prepare() {
  const int count = BoardCount(options_);
  boards_.resize(static_cast<size_t>(count));
  left_.assign(static_cast<size_t>(count), false);
  for (int board = 0; board < count; ++board) targets_.push_back(BoardTarget{this, board});
  std::string error;
  if (!options_.flashFile.empty() && count > 0) {
    firstFlash_.assign(options_.flashSize, 0xFF);
    if (!LoadFlashFile(options_.flashFile, firstFlash_, error)) {
      Fail(error);
      return false;
    }
  }
  if (!options_.flashDir.empty() && !MakeFolder(options_.flashDir, error)) {
    Fail(error);
    return false;
  }
  bus_.latencyUs = options_.latencyUs;
  bus_.tracing = !options_.traceFile.empty();
  // Removing a node touches the testbed: leave that to the main loop's thread.
  bus_.requestRemoval = [this](int board) {
    g_idle_add(OnRemoval, &targets_[static_cast<size_t>(board)]);
  };
  if (options_.conveyorMode) {
    bus_.unusedLimit = std::chrono::milliseconds(UnusedLimitMs(options_));
    bus_.checkUnusedAfter = [this](int board, SimClock::duration wait) {
      // Rounded up: early, the check would only ask again.
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
      g_timeout_add(static_cast<guint>(ms), OnUnusedTime, &targets_[static_cast<size_t>(board)]);
    };
  }
  testbed_ = std::make_unique<HidrawTestbed>();
  if (!testbed_->Create(error)) {
    Fail(error);
    return false;
  }
  return true;
}

bool SimRun::AttachBoard(int board) {
  UsbIdentity identity;
  identity.serial = SerialOf(options_, board);
  const NodePlace place{board, PortOf(options_, board)};
  auto port = std::make_unique<VirtualPort>(place, identity, options_.flashSize, bus_);
  sim::VirtualBootloader& model = port->model();
  model.SetNoise(options_.noise);
  for (const DeviceFault& fault : options_.faults) {
    if (fault.device == board) model.AddFault(fault.fault);
  }
  for (int silent : options_.silentDevices) {
    if (silent == board) model.SetSilent(true);
  }
  if (board == 0 && !firstFlash_.empty()) model.flash() = firstFlash_;
  boards_[static_cast<size_t>(board)] = std::move(port);
  std::string error;
  if (!boards_[static_cast<size_t>(board)]->Attach(*testbed_, error)) {
    Fail(error);
    return false;
  }
  return true;
}

bool SimRun::AttachFirstBoards() {
  const int ports = options_.conveyorMode ? options_.conveyor.ports : options_.devices;
  for (int port = 0; port < ports; ++port) {
    if (!AttachBoard(port)) return false;
  }
  return true;
}

bool SimRun::SaveToFlashDir(int board) {
  std::string error;
  const std::vector<uint8_t> flash = boards_[static_cast<size_t>(board)]->FlashCopy();
  if (!SaveFlashFile(FlashDirFile(options_, board), flash, error)) {
    Fail(error);
    return false;
  }
  return true;
}

void SimRun::BoardLeft(int board) {
  left_[static_cast<size_t>(board)] = true;
  if (!options_.flashDir.empty()) SaveToFlashDir(board);
  if (!options_.conveyorMode) return;
  // The next board on the same port comes GAP_MS later.
  const int next = board + options_.conveyor.ports;
  if (next >= BoardCount(options_)) return;
  if (options_.conveyor.gapMs == 0) {
    if (!AttachBoard(next)) EndCommand();
    return;
  }
  g_timeout_add(static_cast<guint>(options_.conveyor.gapMs), OnNextBoardTime,
                &targets_[static_cast<size_t>(next)]);
}

gboolean SimRun::OnAppearTime(gpointer self) {
  SimRun& run = *static_cast<SimRun*>(self);
  if (!run.AttachFirstBoards()) run.EndCommand();
  return G_SOURCE_REMOVE;
}

gboolean SimRun::OnRemoval(gpointer target) {
  // Runs on the main loop's thread, the only one that changes the testbed.
  const BoardTarget& leaving = *static_cast<BoardTarget*>(target);
  SimRun& run = *leaving.run;
  const size_t board = static_cast<size_t>(leaving.board);
  if (run.left_[board]) return G_SOURCE_REMOVE;
  run.boards_[board]->Detach(*run.testbed_);
  run.BoardLeft(leaving.board);
  return G_SOURCE_REMOVE;
}

gboolean SimRun::OnNextBoardTime(gpointer target) {
  const BoardTarget& coming = *static_cast<BoardTarget*>(target);
  if (!coming.run->AttachBoard(coming.board)) coming.run->EndCommand();
  return G_SOURCE_REMOVE;
}

gboolean SimRun::OnUnusedTime(gpointer target) {
  const BoardTarget& idle = *static_cast<BoardTarget*>(target);
  idle.run->boards_[static_cast<size_t>(idle.board)]->TakeAwayIfUnused();
  return G_SOURCE_REMOVE;
}

gboolean SimRun::OnSignal(gpointer forward) {
  const SignalForward& what = *static_cast<SignalForward*>(forward);
  if (what.run->child_ > 0) kill(what.run->child_, what.signal);
  return G_SOURCE_CONTINUE;
}

void SimRun::OnChildExit(GPid, gint waitStatus, gpointer self) {
  SimRun& run = *static_cast<SimRun*>(self);
  run.childStatus_ = ExitStatusOf(waitStatus);
  run.child_ = -1;
  g_main_loop_quit(run.loop_);
}

bool SimRun::Finish() {
  bus_.timer.Stop();
  std::string error;
  bool ok = true;
  if (!options_.flashFile.empty() && !boards_.empty()) {
    const std::vector<uint8_t> flash = boards_[0] ? boards_[0]->FlashCopy() : firstFlash_;
    if (!SaveFlashFile(options_.flashFile, flash, error)) {
      Fail(error);
      ok = false;
    }
  }
  // Boards still on the bus; those that left were saved then.
  for (size_t board = 0; board < boards_.size() && !options_.flashDir.empty(); ++board) {
    if (boards_[board] && !left_[board] && !SaveToFlashDir(static_cast<int>(board))) ok = false;
  }
  if (!options_.traceFile.empty()) {
    std::lock_guard<std::mutex> hold(bus_.lock);
    if (!WriteLines(options_.traceFile, bus_.trace, error)) {
      Fail(error);
      ok = false;
    }
  }
  return ok;
}

bool SimRun::PrepareCommandLibraries(std::vector<std::string>& environment) {
  // Without it exchanges are slower, nothing else.
  const std::string yield = CommandLibrary("yield");
  if (!yield.empty()) PreloadFirst(environment, yield);
  if (options_.noAccessDevices.empty()) return true;
  const std::string noAccess = CommandLibrary("no_access");
  if (noAccess.empty()) {
    Fail("--no-access needs liborvel_sim_no_access.so beside orvel-sim or in "
         ORVEL_SIM_LIBRARY_DIR);
    return false;
  }
  std::vector<std::string> nodes;
  for (int device : options_.noAccessDevices) nodes.push_back(HidrawTestbed::DevNode(device));
  RefuseAccess(environment, noAccess, nodes);
  return true;
}

int SimRun::Run() {
  if (!Prepare()) return kSetupFailure;
  if (options_.appearAfterMs == 0 && !AttachFirstBoards()) return kSetupFailure;
  std::vector<std::string> environment = ChildEnvironment(environ, testbed_->RootDir());
  if (!PrepareCommandLibraries(environment)) return kSetupFailure;
  bus_.timer.Start();

  loop_ = g_main_loop_new(nullptr, false);
  SignalForward forwards[] = {{this, SIGINT}, {this, SIGTERM}, {this, SIGHUP}};
  std::vector<guint> signalSources;
  for (SignalForward& forward : forwards) {
    signalSources.push_back(g_unix_signal_add(forward.signal, OnSignal, &forward));
  }

  int failureStatus = kSetupFailure;
  std::string error;
  child_ = StartChild(options_.command, environment, failureStatus, error);
  if (child_ < 0) {
    for (guint source : signalSources) g_source_remove(source);
    Fail(error);
    return failureStatus;
  }
  g_child_watch_add(child_, OnChildExit, this);
  if (options_.appearAfterMs > 0) {
    g_timeout_add(static_cast<guint>(options_.appearAfterMs), OnAppearTime, this);
  }
  g_main_loop_run(loop_);
  for (guint source : signalSources) g_source_remove(source);

  const bool attachFailed = failed_;
  if (!Finish() || attachFailed) return kSetupFailure;
  return childStatus_;
}

}  // namespace orvel_sim
