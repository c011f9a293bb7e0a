#include "app/station.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/app.h"
#include "app/tool_state.h"
#include "console/console.h"
#include "console/output.h"
#include "console/reasons.h"
#include "device/hid_link.h"
#include "dfu/connect.h"
#include "dfu/dfu_job.h"
#include "dfu/failure_reasons.h"
#include "platform/platform.h"
#include "platform/terminal.h"

namespace {

constexpr int32_t kRetryPauseMs = 400;
// The live view is redrawn this often at most.
constexpr int32_t kViewPauseMs = 100;

enum class PortState { Waiting, Connecting, Erasing, Writing, Verifying, Restarting, Busy, Passed, Failed };

struct Port {
  std::string serial;
  PortState state = PortState::Waiting;
  int percent = 0;
};

std::string StateText(const Port& port) {
  const std::string percent = std::to_string(port.percent) + "%";
  switch (port.state) {
    case PortState::Waiting:
      return Localized("waiting", "等待中");
    case PortState::Connecting:
      return Localized("connecting", "连接中");
    case PortState::Erasing:
      return Localized("erasing", "擦除中");
    case PortState::Writing:
      return Localized("writing ", "写入 ") + percent;
    case PortState::Verifying:
      return Localized("verifying ", "校验 ") + percent;
    case PortState::Restarting:
      return Localized("restarting", "重启中");
    case PortState::Busy:
      return Localized("in use by another orvel-dfu", "正被另一个 orvel-dfu 使用");
    case PortState::Passed:
      return "PASS";
    case PortState::Failed:
      return "FAIL";
  }
  return std::string();
}

// A worker and whether it has ended, so that ended workers are joined while
// the station runs on.
struct Worker {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
};

class Station;

// Follows one board's job into its port's state.
class BoardObserver : public JobObserver {
 public:
  BoardObserver(Station& station, std::string port) : station_(station), port_(std::move(port)) {}
  void StepStarted(const JobProgress& start) override;
  void Progress(const JobProgress& progress) override;

 private:
  Station& station_;
  std::string port_;
};

class Station {
 public:
  Station(const DfuSettings& settings, const ProgramImageList& programs, std::atomic<int>& interrupts,
          const StationOptions& options)
      : settings_(settings),
        programs_(programs),
        summaries_(SummarizePrograms(programs.images)),
        interrupts_(interrupts),
        options_(options),
        redraw_(platform::ErrorIsRedrawableTerminal()) {
    CopyDeviceSettingsToSearch(settings, search_);
    search_.selector.clear();  // the station picks by its own selectors
  }

  RunOutcome Run() {
    SayReady();
    while (!StopTaking()) {
      Scan();
      for (int32_t paused = 0; paused < options_.scanPauseMs && !StopTaking(); paused += kViewPauseMs) {
        ProcessTicks().Sleep(std::min(kViewPauseMs, options_.scanPauseMs - paused));
        JoinEnded();
        Draw();
      }
    }
    // No new boards; the ones in progress finish, unless Ctrl+C comes again.
    while (!JoinEnded()) {
      if (interrupts_ >= 2) cancel_ = true;
      ProcessTicks().Sleep(kViewPauseMs);
      Draw();
    }
    WriteSummary();
    return passed_ > 0 && failed_ == 0 ? RunOutcome::Succeeded : RunOutcome::Failed;
  }

  void SetState(const std::string& port, PortState state, int percent = 0) {
    std::lock_guard<std::mutex> hold(lock_);
    ports_[port].state = state;
    ports_[port].percent = percent;
  }

 private:
  bool StopTaking() const {
    std::lock_guard<std::mutex> hold(lock_);
    return interrupts_ > 0 || logFailed_ || (settings_.count > 0 && passed_ >= settings_.count);
  }

  bool Wanted(const DeviceEntry& entry) const {
    if (settings_.devices.empty()) return true;
    return std::any_of(settings_.devices.begin(), settings_.devices.end(),
                       [&entry](const std::string& selector) { return SelectorNames(selector, entry); });
  }

  static std::string PortOf(const DeviceEntry& entry) {
    return entry.location.empty() ? entry.path.value_or(entry.description) : entry.location;
  }

  // One look at the bus: boards that left are forgotten, and a worker
  // starts for every new one.
  void Scan() {
    EnumerateDevices(search_, ProcessTicks());
    std::lock_guard<std::mutex> hold(lock_);
    std::set<std::string> attached;
    for (const DeviceEntry& entry : search_.entries) {
      if (entry.path) attached.insert(*entry.path);
    }
    for (auto it = settled_.begin(); it != settled_.end();) {
      if (attached.count(it->first) != 0) {
        ++it;
        continue;
      }
      // The board left: its port waits for the next one.
      if (ports_[it->second].state == PortState::Passed || ports_[it->second].state == PortState::Failed) {
        ports_[it->second].state = PortState::Waiting;
      }
      it = settled_.erase(it);
    }
    for (const DeviceEntry& entry : search_.entries) {
      if (!entry.path || !Wanted(entry) || serving_.count(*entry.path) != 0 || settled_.count(*entry.path) != 0) {
        continue;
      }
      serving_.insert(*entry.path);
      Port& port = ports_[PortOf(entry)];
      port.serial = entry.serial;
      port.state = PortState::Connecting;
      SayStarted(entry);
      Worker worker;
      worker.thread = std::thread([this, entry, done = worker.done] {
        Serve(entry);
        *done = true;
      });
      workers_.push_back(std::move(worker));
    }
  }

  // Joins the workers that ended; true when none runs any more.
  bool JoinEnded() {
    for (auto it = workers_.begin(); it != workers_.end();) {
      if (!*it->done) {
        ++it;
        continue;
      }
      it->thread.join();
      it = workers_.erase(it);
    }
    return workers_.empty();
  }

  // One board, on a worker of its own: its own link, search and observer.
  void Serve(const DeviceEntry& entry) {
    BoardAttempt attempt;
    attempt.device = entry;
    attempt.port = PortOf(entry);
    attempt.startMs = platform::UnixTimeMs();
    const int32_t startTick = ProcessTicks().Now();
    HidLink link;
    DeviceSearch search;
    BoardObserver observer(*this, attempt.port);
    JobContext context{link, search, ProcessTicks(), observer, &cancel_};
    CandidateState state = CandidateState::Silent;
    for (int32_t tries = 0; tries < options_.connectTries; ++tries) {
      attempt.why.clear();
      state = ConnectTo(context, entry, &attempt.why);
      const bool mayComeRound = state == CandidateState::Silent || state == CandidateState::NoAccess;
      if (!mayComeRound || !context.Pause(kRetryPauseMs)) break;
    }
    if (state == CandidateState::Busy) {
      // Another orvel-dfu serves it: not this station's board, for now.
      std::lock_guard<std::mutex> hold(lock_);
      serving_.erase(*entry.path);
      ports_[attempt.port].state = PortState::Busy;
      return;
    }
    attempt.passed = state == CandidateState::Answered &&
                     DfuJob(context).RunConnected(settings_, programs_, &attempt.why);
    link.Close();
    attempt.endMs = platform::UnixTimeMs();
    attempt.jobMs = TicksSince(startTick);
    Finish(attempt);
  }

  void Finish(const BoardAttempt& attempt) {
    Tell(attempt);
    AppendRecord(attempt);
  }

  // The board's counts, its line on standard output and the view.
  void Tell(const BoardAttempt& attempt) {
    std::lock_guard<std::mutex> hold(lock_);
    const std::string& path = *attempt.device.path;
    serving_.erase(path);
    settled_[path] = attempt.port;
    ports_[attempt.port].state = attempt.passed ? PortState::Passed : PortState::Failed;
    if (attempt.passed) {
      ++passed_;
    } else {
      ++failed_;
      failures_.push_back(attempt);
    }
    ClearView();
    ConsoleOut() << ResultLine(attempt) << '\n' << std::flush;
    if (!attempt.passed && !redraw_) WriteReasons(Prefixed(attempt));
    DrawLocked();
  }

  // A failed board's reasons, each led by its port and serial number.
  static Reasons Prefixed(const BoardAttempt& attempt) {
    Reasons lines;
    AddInContext(&lines, attempt.why, "{0} ({1}): ", "{0}（{1}）：",
                 {attempt.port, OrDash(attempt.device.serial)});
    for (Reason& line : lines) line.utf8Args |= 1u << 1;
    return lines;
  }

  // Outside lock_: the other boards' packets do not wait for the disk.
  void AppendRecord(const BoardAttempt& attempt) {
    if (settings_.log_file.empty()) return;
    std::string error;
    {
      std::lock_guard<std::mutex> writing(logLock_);
      if (platform::AppendSynced(settings_.log_file, LogRecord(attempt, summaries_) + "\n", error)) return;
    }
    // Without its record a board cannot be traced: no new board is taken.
    std::lock_guard<std::mutex> hold(lock_);
    logFailed_ = true;
    Reasons why;
    AddError(&why, "cannot append to the log {0}: {1}; no new board is taken", "无法追加到记录文件 {0}：{1}；不再接收新的板子",
             {settings_.log_file, error});
    ClearView();
    WriteReasons(why);
    DrawLocked();
  }

  void SayReady() {
    Reasons ready;
    const std::string productId = ProductIdText(search_);
    if (settings_.devices.empty()) {
      AddNote(&ready,
              "station ready: every bootloader (USB HID product ID {0}) that attaches is flashed; Ctrl+C stops "
              "taking new boards",
              "工位就绪：每个连接的 bootloader（USB HID 产品 ID {0}）都会被烧录；按 Ctrl+C 停止接收新的板子",
              {productId});
    } else {
      std::string selectors;
      for (const std::string& selector : settings_.devices) selectors += (selectors.empty() ? "" : ", ") + selector;
      AddNote(&ready,
              "station ready: the bootloaders {1} (USB HID product ID {0}) are flashed as they attach; Ctrl+C stops "
              "taking new boards",
              "工位就绪：bootloader {1}（USB HID 产品 ID {0}）连接后即被烧录；按 Ctrl+C 停止接收新的板子",
              {productId, selectors});
    }
    WriteReasons(ready);
  }

  // Without a terminal to redraw, a plain line says that a board started.
  void SayStarted(const DeviceEntry& entry) {
    if (redraw_) return;
    Reasons started;
    AddNote(&started, "{0} ({1}): flashing", "{0}（{1}）：正在烧录",
            {PortOf(entry), OrDash(entry.serial)});
    started.back().utf8Args = 1u << 1;
    WriteReasons(started);
  }

  void WriteSummary() {
    std::lock_guard<std::mutex> hold(lock_);
    ClearView();
    std::ostream& out = ConsoleOut();
    out << FillReasonTemplate(Localized("Station: {0} passed, {1} failed", "工位：{0} 块通过，{1} 块失败"),
                              {std::to_string(passed_), std::to_string(failed_)})
        << '\n';
    for (const BoardAttempt& failure : failures_) {
      out << "FAIL\t" << failure.port << '\t' << OrDash(ToConsoleEncoding(failure.device.serial))
          << FirstErrorText(failure.why) << '\n';
    }
    out << std::flush;
  }

  // The live view on a terminal: a line per port and the counts, drawn over
  // the last drawing.
  void Draw() {
    std::lock_guard<std::mutex> hold(lock_);
    DrawLocked();
  }

  void DrawLocked() {
    if (!redraw_) return;
    ClearView();
    std::string view;
    for (const auto& [port, state] : ports_) {
      view += "  " + port + "  " + OrDash(ToConsoleEncoding(state.serial)) + "  " +
              StateText(state) + "\n";
    }
    const size_t running = serving_.size();
    view += FillReasonTemplate(Localized("  passed {0}, failed {1}, in progress {2}", "  通过 {0}，失败 {1}，进行中 {2}"),
                               {std::to_string(passed_), std::to_string(failed_), std::to_string(running)}) +
            "\n";
    drawn_ = static_cast<size_t>(std::count(view.begin(), view.end(), '\n'));
    ConsoleErr() << view << std::flush;
  }

  // Erases the drawing, so that what standard output writes next stands
  // where it was.
  void ClearView() {
    if (!redraw_ || drawn_ == 0) return;
    ConsoleErr() << "\x1b[" << drawn_ << "F\x1b[J" << std::flush;
    drawn_ = 0;
  }

  const DfuSettings& settings_;
  const ProgramImageList& programs_;
  const std::vector<ProgramSummary> summaries_;
  std::atomic<int>& interrupts_;
  const StationOptions options_;
  const bool redraw_;
  DeviceSearch search_;  // the scanner's
  std::atomic<bool> cancel_{false};
  std::vector<Worker> workers_;  // the scanner's

  std::mutex logLock_;       // one record written at a time
  mutable std::mutex lock_;  // guards everything below
  std::map<std::string, Port> ports_;
  std::set<std::string> serving_;                // paths with a worker
  std::map<std::string, std::string> settled_;   // path -> port of boards done and still attached
  uint32_t passed_ = 0;
  uint32_t failed_ = 0;
  std::vector<BoardAttempt> failures_;
  bool logFailed_ = false;
  size_t drawn_ = 0;
};

void BoardObserver::StepStarted(const JobProgress& start) {
  switch (start.step) {
    case JobStep::Erase:
      station_.SetState(port_, PortState::Erasing);
      break;
    case JobStep::Download:
      station_.SetState(port_, PortState::Writing);
      break;
    case JobStep::Verify:
      station_.SetState(port_, PortState::Verifying);
      break;
    case JobStep::Restart:
      station_.SetState(port_, PortState::Restarting);
      break;
    default:
      break;
  }
}

void BoardObserver::Progress(const JobProgress& progress) {
  if (progress.stepTotal == 0 || (progress.step != JobStep::Download && progress.step != JobStep::Verify)) return;
  const int percent = static_cast<int>(progress.stepDone * 100 / progress.stepTotal);
  station_.SetState(port_, progress.step == JobStep::Download ? PortState::Writing : PortState::Verifying, percent);
}

}  // namespace

RunOutcome RunStationWith(const DfuSettings& settings, const ProgramImageList& programs, std::atomic<int>& interrupts,
                   const StationOptions& options) {
  Station station(settings, programs, interrupts, options);
  return station.Run();
}

RunOutcome RunStation() {
  Reasons why;
  if (!LoadJobPrograms(&why)) {
    WriteReasons(why);
    return RunOutcome::Refused;
  }
  // Refused before any board when its records cannot be kept.
  std::string error;
  if (!theDfuSettings.log_file.empty() && !platform::AppendSynced(theDfuSettings.log_file, "", error)) {
    AddError(&why, "cannot append to the log {0}: {1}", "无法追加到记录文件 {0}：{1}", {theDfuSettings.log_file, error});
    WriteReasons(why);
    return RunOutcome::Refused;
  }
  WriteReasons(why);
  std::atomic<int> interrupts{0};
  // Taken by a thread of their own: a signal never cuts short a read from a
  // board in progress.
  platform::CountStopSignals(interrupts);
  const RunOutcome outcome = RunStationWith(theDfuSettings, theProgramImageList, interrupts);
  platform::ReleaseStopSignals();
  return outcome;
}
