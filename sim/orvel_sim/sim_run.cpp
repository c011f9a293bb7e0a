#include "sim_run.h"

#include <glib-unix.h>
#include <signal.h>
#include <unistd.h>

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

}  // namespace

SimRun::~SimRun() {
  bus_.timer.Stop();
  testbed_.reset();  // before the ports: its worker thread calls into them
  ports_.clear();
  if (loop_) g_main_loop_unref(loop_);
}

void SimRun::Fail(const std::string& message) {
  std::fprintf(stderr, "orvel-sim: %s\n", message.c_str());
  failed_ = true;
}

bool SimRun::Prepare() {
  for (int i = 0; i < options_.devices; ++i) {
    ports_.push_back(std::make_unique<VirtualPort>(i, options_.flashSize, bus_));
    sim::VirtualBootloader& model = ports_.back()->model();
    model.SetNoise(options_.noise);
  }
  for (const DeviceFault& fault : options_.faults) ports_[fault.device]->model().AddFault(fault.fault);
  for (int device : options_.silentDevices) ports_[device]->model().SetSilent(true);
  std::string error;
  if (!options_.flashFile.empty() && !ports_.empty() &&
      !LoadFlashFile(options_.flashFile, ports_[0]->model().flash(), error)) {
    Fail(error);
    return false;
  }
  bus_.latencyUs = options_.latencyUs;
  bus_.tracing = !options_.traceFile.empty();
  // Removing a node touches the testbed: leave that to the main loop's thread.
  for (int i = 0; i < options_.devices; ++i) removals_.push_back(RemovalTarget{this, i});
  bus_.requestRemoval = [this](int index) {
    g_idle_add(OnRemoval, &removals_[static_cast<size_t>(index)]);
  };
  testbed_ = std::make_unique<HidrawTestbed>();
  if (!testbed_->Create(error)) {
    Fail(error);
    return false;
  }
  return true;
}

bool SimRun::AttachAll() {
  for (auto& port : ports_) {
    std::string error;
    if (!port->Attach(*testbed_, error)) {
      Fail(error);
      return false;
    }
  }
  return true;
}

gboolean SimRun::OnAppearTime(gpointer self) {
  SimRun& run = *static_cast<SimRun*>(self);
  if (!run.AttachAll() && run.child_ > 0) kill(run.child_, SIGTERM);
  return G_SOURCE_REMOVE;
}

gboolean SimRun::OnRemoval(gpointer target) {
  // Runs on the main loop's thread, the only one that changes the testbed.
  const RemovalTarget& leaving = *static_cast<RemovalTarget*>(target);
  leaving.run->ports_[static_cast<size_t>(leaving.index)]->Detach(*leaving.run->testbed_);
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
  if (!options_.flashFile.empty() && !ports_.empty()) {
    std::lock_guard<std::mutex> hold(bus_.lock);
    if (!SaveFlashFile(options_.flashFile, ports_[0]->model().flash(), error)) {
      Fail(error);
      ok = false;
    }
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

bool SimRun::RefuseAccessTo(const std::vector<int>& devices,
                            std::vector<std::string>& environment) {
  const std::string library = NoAccessLibrary();
  if (library.empty()) {
    Fail("--no-access needs liborvel_sim_no_access.so beside orvel-sim or in "
         ORVEL_SIM_LIBRARY_DIR);
    return false;
  }
  std::vector<std::string> nodes;
  for (int device : devices) nodes.push_back(HidrawTestbed::DevNode(device));
  RefuseAccess(environment, library, nodes);
  return true;
}

int SimRun::Run() {
  if (!Prepare()) return kSetupFailure;
  if (options_.appearAfterMs == 0 && !AttachAll()) return kSetupFailure;
  std::vector<std::string> environment = ChildEnvironment(environ, testbed_->RootDir());
  if (!options_.noAccessDevices.empty() && !RefuseAccessTo(options_.noAccessDevices, environment)) {
    return kSetupFailure;
  }
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
