#include "app/console_observer.h"

#include <ostream>
#include <string>
#include <string_view>

#include "console/console.h"
#include "console/output.h"
#include "console/reasons.h"
#include "platform/ticks.h"

namespace {

void PrintHeading(std::string_view english, std::string_view chinese, bool restartStepClock = false) {
  if (LogMode) PrintStatusLine(false, restartStepClock, true, Localized(english, chinese));
}

// ">> <text> (<start> - <length> )", then the step is timed from here.
void PrintAreaMessage(std::string_view english, std::string_view chinese, uint32_t start, uint32_t length,
                      bool endLine) {
  if (LogMode) {
    std::string line = std::string(kMessagePrefix) + Localized(english, chinese) + " (" +
                       FormatHexAddress(start) + " - " + FormatHexAddress(length) + " )";
    if (endLine) line += '\n';
    // Flushed also without a line end: the erase message must show while the
    // erase runs, which can take seconds.
    ConsoleOut() << line << std::flush;
  }
  RestartStepClock();
}

// How far one program's download or read-back has come: on the program's own
// line with LogMode on, on the job's overall line with it off.
void ShowPassProgress(const JobProgress& progress, int32_t areaDone, bool final) {
  const auto length = static_cast<int32_t>(progress.areaLength);
  if (!LogMode) {
    ShowOverallProgress(progress.jobTotal, progress.jobDone, final);
  } else if (progress.step == JobStep::Download) {
    ShowDownloadProgress(length, areaDone, final);
  } else {
    ShowVerifyProgress(length, areaDone, final);
  }
}

// The steps whose bytes the progress lines count.
bool CountsBytes(JobStep step) {
  return step == JobStep::Download || step == JobStep::Verify || step == JobStep::Read;
}

}  // namespace

ConsoleJobObserver& TheConsoleObserver() {
  static ConsoleJobObserver observer;
  return observer;
}

void ConsoleJobObserver::SetProgressStyle(ProgressStyle style, std::ostream* richOut, bool terminal) {
  style_ = style;
  richOut_ = richOut;
  richOnTerminal_ = terminal;
}

void ConsoleJobObserver::MakeRoomForLine() {
  if (LogMode && rich_) rich_->ClearLine();
}

void ConsoleJobObserver::JobStarted(JobKind kind) {
  record_ = JobRecord{};
  record_.kind = kind;
  rich_.reset();
  if (style_ == ProgressStyle::Rich && richOut_ != nullptr) {
    rich_ = std::make_unique<RichProgressView>(*richOut_, richOnTerminal_, ProcessTicks());
  }
  if (kind == JobKind::Flash) PrintHeading("Enter DFU", "进入 DFU");
}

void ConsoleJobObserver::StepStarted(const JobProgress& start) {
  record_.lastStep = start.step;
  if (start.step == JobStep::Download || start.step == JobStep::Read ||
      (start.step == JobStep::Verify && record_.kind == JobKind::VerifyOnly)) {
    record_.bytes = start.stepTotal;
  }
  if (start.step == JobStep::Verify && record_.kind == JobKind::Flash) record_.readBack = true;
  MakeRoomForLine();
  switch (start.step) {
    case JobStep::Connect:
      PrintHeading("Querying USB device connections", "查询 USB 设备连接");
      return;
    case JobStep::Erase:
      PrintHeading("Erase Device Flash", "擦除设备 Flash");
      // With LogMode on, the erase message's line stays open while it
      // erases: nothing else may show meanwhile.
      if (rich_ && !LogMode) rich_->StepStarted(start.step, start.stepTotal);
      return;
    case JobStep::Download:
      PrintHeading("Download program", "下载程序");
      break;
    case JobStep::Verify:
      PrintHeading("Verify", "校验");
      break;
    case JobStep::Read:
      break;
    case JobStep::Restart:
      // No address-range message follows: the step is timed from its title.
      PrintHeading("Restart the device", "重启设备", true);
      return;
  }
  if (!LogMode && ShowsPercent()) ShowOverallProgress(start.jobTotal, start.jobDone, false);
  if (rich_) rich_->StepStarted(start.step, start.stepTotal);
}

void ConsoleJobObserver::Said(const Reasons& reasons) {
  if (rich_) rich_->ClearLine();
  WriteReasons(reasons);
}

void ConsoleJobObserver::Connected(bool waited, const DeviceEntry& device) {
  MakeRoomForLine();
  PrintConnectMessage(waited, device.description);
  // The job is timed from here: waiting for the device does not count.
  StartJobClock();
}

void ConsoleJobObserver::NotConnected() {
  MakeRoomForLine();
  PrintNoDeviceFound();
}

void ConsoleJobObserver::AreaStarted(JobStep step, uint32_t start, uint32_t length) {
  MakeRoomForLine();
  progressShown_ = false;
  last_ = JobProgress{};
  last_.step = step;
  last_.areaLength = length;
  switch (step) {
    case JobStep::Erase:
      PrintEraseArea(start, length);
      return;
    case JobStep::Download:
      PrintDownloadArea(start, length);
      break;
    case JobStep::Verify:
      PrintVerifyArea(start, length);
      break;
    default:
      break;
  }
  // The first update of every pass shows, even at 0%.
  if (LogMode) ResetStepProgress();
}

void ConsoleJobObserver::Progress(const JobProgress& progress) {
  if (rich_ && !(LogMode && progress.step == JobStep::Erase)) rich_->Progress(progress);
  if (!CountsBytes(progress.step)) return;
  last_ = progress;
  progressShown_ = true;
  if (ShowsPercent()) ShowPassProgress(progress, static_cast<int32_t>(progress.areaDone), false);
}

void ConsoleJobObserver::AreaFinished(JobStep step, bool ok) {
  // A failure keeps the rich view's line where it stopped.
  if (!ok && rich_) rich_->EndLine();
  MakeRoomForLine();
  if (step == JobStep::Erase) {
    // On the erase message's own line.
    PrintStepResult(ok);
    return;
  }
  if (ok) {
    if (LogMode && ShowsPercent()) ShowPassProgress(last_, static_cast<int32_t>(last_.areaLength), true);
    return;
  }
  // A failed packet or read ends the line where it stood, counting itself.
  if (progressShown_ && ShowsPercent()) ShowPassProgress(last_, static_cast<int32_t>(last_.areaDone), true);
  if (step != JobStep::Read) PrintStepResult(false);
}

void ConsoleJobObserver::StepFinished(JobStep step, bool ok) {
  MakeRoomForLine();
  if (ok && step != JobStep::Erase && step != JobStep::Read && step != JobStep::Connect) PrintStepResult(true);
}

void ConsoleJobObserver::JobFinished(JobKind /*kind*/, bool ok) {
  if (rich_) rich_->EndLine();
  // The view writes into the stream of its job, which need not outlive it.
  rich_.reset();
  if (ok && !LogMode && ShowsPercent()) ShowOverallProgress(100, 100, true);
}

void PrintConnectMessage(bool wait, const std::string& description) {
  if (!LogMode) return;
  const std::string lead = wait ? Localized(": Wait to connect to the device: \"", "：等待连接到设备：\"")
                                : Localized(": Query connected device: \"", "：查询连接到设备：\"");
  PrintStatusLine(false, false, false, lead + ToConsoleEncoding(description) + "\"");
}

void PrintNoDeviceFound() {
  if (!LogMode) return;
  ConsoleOut() << ">>" << Localized(": No connected device found!", "：未查询到可连接设备！") << '\n' << std::flush;
}

void PrintEraseArea(uint32_t start, uint32_t length) {
  PrintAreaMessage(": Erase the Flash area", "：擦除 Flash 区域", start, length, false);
}

void PrintDownloadArea(uint32_t start, uint32_t length) {
  PrintAreaMessage(": Download", "：下载", start, length, true);
}

void PrintVerifyArea(uint32_t start, uint32_t length) {
  PrintAreaMessage(": Read Verify", "：读取校验", start, length, true);
}
