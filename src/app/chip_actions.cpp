// The actions that work on attached bootloaders: --list, --read and
// --verify-only. None of them erases, writes or restarts a chip.
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "app/app.h"
#include "app/tool_state.h"
#include "console/output.h"
#include "console/reasons.h"
#include "device/device_search.h"
#include "device/hid_link.h"
#include "dfu/connect.h"
#include "dfu/dfu_job.h"
#include "image/program_file.h"
#include "options/dfu_options.h"
#include "platform/platform.h"

namespace {

// PATH, SERIAL, LOCATION, STATE, DESCRIPTION, separated by tabs; the
// device's own texts in the console's encoding.
void WriteListLine(const DeviceEntry& entry, CandidateState state) {
  ConsoleOut() << OrDash(entry.path.value_or("")) << '\t' << OrDash(ToConsoleEncoding(entry.serial)) << '\t'
               << OrDash(entry.location) << '\t' << StateWord(state) << '\t' << ToConsoleEncoding(entry.description)
               << '\n'
               << std::flush;
}

// A node that cannot be opened is listed; why goes beside it, as a warning:
// the list itself is complete.
void WriteAccessReasons(Reasons reasons) {
  for (Reason& reason : reasons) {
    if (reason.severity == Severity::Error) reason.severity = Severity::Warning;
  }
  WriteReasons(reasons);
}

void WriteNoneListed() {
  const std::string productId = ProductIdText(theDeviceSearch);
  Reasons none;
  if (theDeviceSearch.selector.empty()) {
    AddNote(&none, "no bootloader (USB HID product ID {0}) is attached",
            "没有连接 bootloader（USB HID 产品 ID {0}）", {productId});
  } else {
    AddNote(&none, "no bootloader with path, serial number or USB location '{1}' is attached",
            "没有连接路径、序列号或 USB 位置为“{1}”的 bootloader", {productId, theDeviceSearch.selector});
  }
  WriteReasons(none);
}

// Why the file of --read cannot be written: what stands there, or the
// system's reason.
void AddWriteRefusal(Reasons* why, const std::string& path, const platform::WriteRefusal& refusal) {
  if (refusal.kind == platform::FileKind::Regular) {
    AddError(why, "cannot write {0}: {1}", "无法写入 {0}：{1}", {path, refusal.systemError});
    return;
  }
  const FileKindWords words = NotRegularFileWords(refusal.kind);
  AddError(why, std::string("cannot write {0}: it is ") + words.english + "; --read writes only regular files",
           std::string("无法写入 {0}：它") + words.chinese + "；--read 只写入普通文件", {path});
}

}  // namespace

// Every interface is claimed, opened and probed as the connect step does,
// then let go: a line says how that went.
RunOutcome RunList() {
  const std::vector<ListedDevice> listed = ListBootloaders(theHidLink, theDeviceSearch, ProcessTicks(), theDfuSettings);
  for (const ListedDevice& device : listed) {
    WriteListLine(device.entry, device.state);
    if (device.state == CandidateState::NoAccess) WriteAccessReasons(device.why);
  }
  if (listed.empty()) WriteNoneListed();
  return listed.empty() ? RunOutcome::Failed : RunOutcome::Succeeded;
}

// The file is checked, and its new file made beside it, before any device
// is touched; a refusal then writes its reasons and no verdict, as a refused
// command line does. The file is written only once every byte was read.
RunOutcome RunRead() {
  const DfuSettings& settings = theDfuSettings;
  Reasons why;
  platform::FileReplacement output;
  platform::WriteRefusal refusal;
  if (!output.Begin(settings.read_file, refusal)) {
    AddWriteRefusal(&why, settings.read_file, refusal);
    WriteReasons(why);
    return RunOutcome::Refused;
  }
  std::vector<uint8_t> bytes;
  bool success = false;
  {
    StopOnCtrlC stop;
    success = ToolJob(stop.flag()).Read(settings, settings.read_addr, settings.read_length, bytes, &why);
  }
  if (success && !output.Commit(bytes.data(), bytes.size(), refusal)) {
    AddWriteRefusal(&why, settings.read_file, refusal);
    success = false;
  }
  output.Abandon();
  const std::string done =
      FillReasonTemplate(Localized("Read {0} bytes from {1} into {2}", "已从 {1} 读取 {0} 字节到 {2}"),
                         {std::to_string(settings.read_length), AddressText(settings.read_addr), settings.read_file});
  return EndWithVerdict(success, std::move(why), done, Localized("Flash read failed!", "Flash 读取失败！"));
}

// The programs are loaded and checked as for a job before any device is
// touched; a refusal writes its reasons and no verdict.
RunOutcome RunVerifyOnlyAction() {
  Reasons why;
  if (!LoadJobPrograms(&why)) {
    WriteReasons(why);
    return RunOutcome::Refused;
  }
  bool same = false;
  {
    StopOnCtrlC stop;
    same = ToolJob(stop.flag()).VerifyOnly(theDfuSettings, theProgramImageList, &why);
  }
  return EndWithVerdict(same, std::move(why), Localized("Verify success!", "校验成功！"),
                        Localized("Verify failed!", "校验失败！"));
}
