#include "dfu/connect.h"

#include <cstdio>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "console/console.h"
#include "console/output.h"
#include "console/reasons.h"
#include "device/device_search.h"
#include "device/hid_link.h"
#include "dfu/failure_reasons.h"
#include "dfu/rom_packets.h"
#include "platform/platform.h"
#include "platform/ticks.h"

namespace {

// A chip that has just reset needs a moment before it is back on the bus.
constexpr int32_t kAttemptPauseMs = 400;
// Stale input is discarded for at least this long after a good probe, and
// for no longer than the other two allow, however fast the device sends.
constexpr int32_t kDrainMs = 50;
constexpr int32_t kDrainLongestMs = 2000;
constexpr int32_t kDrainMostReports = 4096;

// Why one candidate was not used, and a key naming the interface and the
// cause, so that wait mode says each once.
struct Skip {
  std::string key;
  Reasons reasons;
};

// The words the HID library uses for a node the user may not open (the C
// library's texts for EACCES and EPERM).
bool IsPermissionProblem(const std::string& systemText) {
  return systemText.find("Permission denied") != std::string::npos ||
         systemText.find("Operation not permitted") != std::string::npos;
}

// One candidate's reason, led by its path and description ({0}, {1}; the
// description alone when it has no path); args follow from {2} on.
Skip SkipFor(const DeviceEntry& entry, const char* cause, const std::string& english,
             const std::string& chinese, const std::vector<std::string>& args,
             const Reasons& happened = {}) {
  Skip skip;
  skip.key = entry.path.value_or(entry.description) + '\n' + cause;
  std::vector<std::string> all = {entry.path.value_or(""), entry.description};
  all.insert(all.end(), args.begin(), args.end());
  const std::string englishLead = entry.path ? "{0} ({1}): " : "{1}: ";
  const std::string chineseLead = entry.path ? "{0}（{1}）：" : "{1}：";
  if (happened.empty()) {
    AddError(&skip.reasons, englishLead + english, chineseLead + chinese, all);
  } else {
    AddInContext(&skip.reasons, happened, englishLead + english, chineseLead + chinese, all);
  }
  return skip;
}

Skip ClaimSkip(const DeviceEntry& entry) {
  const LinkFailure& failure = theHidLink.lastFailure;
  if (failure.kind == LinkFailure::Kind::ClaimUnusable) {
    return SkipFor(entry, "claim file",
                   "skipped: its claim file {2} cannot serve as a lock (that takes a regular "
                   "file with one link that everyone may read); remove it when no orvel-dfu runs",
                   "已跳过：其占用文件 {2} 无法用作锁（须为只有一个链接、所有人可读的普通文件）；"
                   "没有 orvel-dfu 运行时可删除它",
                   {failure.detail});
  }
  return SkipFor(entry, "claimed", "in use by another running orvel-dfu",
                 "正被另一个运行中的 orvel-dfu 使用", {});
}

Skip OpenSkip(const DeviceEntry& entry) {
  const std::string systemText = theHidLink.lastFailure.detail;
  Skip skip = SkipFor(entry, "open", "cannot be opened: {2}", "无法打开：{2}", {systemText});
  if (platform::DeviceAccessComesFromUdev() && IsPermissionProblem(systemText)) {
    AddNote(&skip.reasons,
            "to let your user open it, install the udev rule packaging/udev/70-orvel-dfu.rules "
            "(README, section \"Using a real chip on Linux\")",
            "要允许当前用户打开它，请安装 udev 规则 packaging/udev/70-orvel-dfu.rules"
            "（见 README 的“Using a real chip on Linux”一节）");
  }
  return skip;
}

// Claims, opens and probes one candidate; leaves it open only when the
// bootloader answered, and says in skip why not otherwise.
bool TryConnect(const DeviceEntry& entry, Skip& skip) {
  if (!entry.path) {
    skip = SkipFor(entry, "no path", "the HID library gives no path to open it",
                   "HID 库没有给出可打开的路径", {});
    return false;
  }
  const char* path = entry.path->c_str();
  if (!theHidLink.ClaimDevice(path)) {
    skip = ClaimSkip(entry);
    return false;
  }
  if (!theHidLink.OpenDevice(path)) {
    skip = OpenSkip(entry);
    // Let go at once: held by an instance that cannot use the device, the
    // claim would keep away one that can.
    theHidLink.Close();
    return false;
  }
  Reasons happened;
  if (RomProbe(&happened)) return true;
  theHidLink.Close();
  skip = SkipFor(entry, "probe", "failed the probe: ", "探测失败：", {}, happened);
  return false;
}

// The first candidate in list order that answers the probe, or nullptr;
// skips gets why each one tried before it was not used.
const DeviceEntry* ConnectFirstAnswering(std::vector<Skip>& skips) {
  const int32_t found = EnumerateDevices();
  for (int32_t i = 0; i < found && i < theDeviceSearch.count(); ++i) {
    const DeviceEntry& entry = theDeviceSearch.entries[static_cast<size_t>(i)];
    Skip skip;
    if (TryConnect(entry, skip)) return &entry;
    skips.push_back(std::move(skip));
  }
  return nullptr;
}

std::string ProductIdText() {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(theDeviceSearch.product_id));
  return text;
}

// Query mode found nothing to use: why, for every interface seen.
void AddNothingConnected(Reasons* why, const std::vector<Skip>& skips) {
  if (skips.empty()) {
    AddError(why, "no bootloader found: no USB HID interface with product ID {0} is attached",
             "未找到 bootloader：没有连接产品 ID 为 {0} 的 USB HID 接口", {ProductIdText()});
    AddNote(why, "to wait until the chip's bootloader attaches, add -w 1",
            "要等待芯片的 bootloader 连接，请加上 -w 1");
    return;
  }
  for (const Skip& skip : skips) {
    if (why != nullptr) why->insert(why->end(), skip.reasons.begin(), skip.reasons.end());
  }
}

// Wait mode: each interface's reason the first time it is skipped for it,
// as a note, since the wait goes on.
void WriteNewSkips(const std::vector<Skip>& skips, std::set<std::string>& told) {
  for (const Skip& skip : skips) {
    if (!told.insert(skip.key).second) continue;
    for (Reason reason : skip.reasons) {
      reason.severity = Severity::Note;
      WriteReason(reason);
    }
  }
}

void AddChoiceNote(Reasons* why, const DeviceEntry& used) {
  const int32_t attached = theDeviceSearch.count();
  if (attached < 2) return;
  AddNote(why, "{0} bootloaders are attached; used {1} (serial number {2})",
          "连接了 {0} 个 bootloader；使用了 {1}（序列号 {2}）",
          {std::to_string(attached), used.path.value_or(used.description),
           used.serial.empty() ? "-" : used.serial});
}

}  // namespace

int32_t ConnectDevice(bool wait, Reasons* why) {
  std::set<std::string> told;
  if (wait) {
    Reasons start;
    AddNote(&start,
            "waiting for a bootloader (USB HID product ID {0}) to attach; Ctrl+C ends the wait",
            "正在等待 bootloader（USB HID 产品 ID {0}）连接；按 Ctrl+C 结束等待", {ProductIdText()});
    WriteReasons(start);
  }
  do {
    SleepTicks(kAttemptPauseMs);
    std::vector<Skip> skips;
    const DeviceEntry* connected = ConnectFirstAnswering(skips);
    if (wait) WriteNewSkips(skips, told);
    if (connected != nullptr) {
      // Input the device queued before or right after the probe echo would
      // otherwise be read as the reply to the job's first command.
      theHidLink.DrainInput(kDrainMs, kDrainLongestMs, kDrainMostReports);
      PrintConnectMessage(wait, connected->description);
      AddChoiceNote(why, *connected);
      return 1;
    }
    if (!wait) AddNothingConnected(why, skips);
  } while (wait);
  return 0;
}

void PrintConnectMessage(bool wait, const std::string& description) {
  if (!LogMode) return;
  const std::string lead =
      wait ? Localized(": Wait to connect to the device: \"", "：等待连接到设备：\"")
           : Localized(": Query connected device: \"", "：查询连接到设备：\"");
  PrintStatusLine(false, false, false, lead + description + "\"");
}
