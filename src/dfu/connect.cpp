#include "dfu/connect.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <utility>
#include <vector>

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

// The description is the device's own text, UTF-8.
constexpr uint32_t kDescriptionArg = 1u << 1;

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
  for (Reason& reason : skip.reasons) reason.utf8Args |= kDescriptionArg;
  return skip;
}

Skip ClaimSkip(const DeviceEntry& entry, const LinkFailure& failure) {
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

// A hint that names command-line options: callers of the library drop it.
void AddCommandLineNote(Reasons* why, std::string english, std::string chinese, std::vector<std::string> args = {}) {
  AddNote(why, std::move(english), std::move(chinese), std::move(args));
  if (why != nullptr) why->back().commandLineHint = true;
}

Skip OpenSkip(const DeviceEntry& entry, const LinkFailure& failure) {
  const std::string systemText = failure.detail;
  Skip skip = SkipFor(entry, "open", "cannot be opened: {2}", "无法打开：{2}", {systemText});
  if (platform::DeviceAccessComesFromUdev() && IsPermissionProblem(systemText)) {
    AddCommandLineNote(&skip.reasons,
                       "to let your user open it, install the udev rule packaging/udev/70-orvel-dfu.rules "
                       "(README, section \"Using a real chip on Linux\")",
                       "要允许当前用户打开它，请安装 udev 规则 packaging/udev/70-orvel-dfu.rules"
                       "（见 README 的“Using a real chip on Linux”一节）");
  }
  return skip;
}

// Claims, opens and probes one candidate; leaves it open only when the
// bootloader answered, and says in skip why not otherwise.
CandidateState TryConnect(DeviceLink& link, const DeviceEntry& entry, Skip& skip) {
  if (!entry.path) {
    skip = SkipFor(entry, "no path", "the HID library gives no path to open it",
                   "HID 库没有给出可打开的路径", {});
    return CandidateState::NoAccess;
  }
  const char* path = entry.path->c_str();
  if (!link.ClaimDevice(path)) {
    skip = ClaimSkip(entry, link.Failure());
    return CandidateState::Busy;
  }
  if (!link.OpenDevice(path)) {
    skip = OpenSkip(entry, link.Failure());
    // Let go at once: held by an instance that cannot use the device, the
    // claim would keep away one that can.
    link.Close();
    return CandidateState::NoAccess;
  }
  Reasons happened;
  if (RomProbe(link, &happened)) return CandidateState::Answered;
  link.Close();
  skip = SkipFor(entry, "probe", "failed the probe: ", "探测失败：", {}, happened);
  return CandidateState::Silent;
}

// One step of the connect step on one interface; why receives why it cannot
// be used.
CandidateState TryCandidate(DeviceLink& link, const DeviceEntry& entry, Reasons* why) {
  Skip skip;
  const CandidateState state = TryConnect(link, entry, skip);
  if (why != nullptr) why->insert(why->end(), skip.reasons.begin(), skip.reasons.end());
  return state;
}

// One attempt of the connect step: why each candidate tried was not used,
// and how many there were.
struct Attempt {
  std::vector<Skip> skips;
  int32_t candidates = 0;
  // The selector names more than one interface: none was tried.
  std::vector<const DeviceEntry*> ambiguous;
  bool cancelled = false;
};

// The interfaces the selector names (every one without a selector), in
// list order.
std::vector<const DeviceEntry*> SelectedEntries(const DeviceSearch& search) {
  std::vector<const DeviceEntry*> named;
  for (const DeviceEntry& entry : search.entries) {
    if (SelectorNames(search.selector, entry)) named.push_back(&entry);
  }
  return named;
}

// The first candidate in list order that answers the probe, or nullptr.
const DeviceEntry* ConnectFirstAnswering(JobContext& context, Attempt& attempt) {
  DeviceSearch& search = context.search;
  EnumerateDevices(search, context.clock);
  const std::vector<const DeviceEntry*> named = SelectedEntries(search);
  // Boot ROMs often share one serial number: a selector that names several
  // would flash whichever answers first, so none is tried.
  if (!search.selector.empty() && named.size() > 1) {
    attempt.ambiguous = named;
    return nullptr;
  }
  for (const DeviceEntry* entry : named) {
    if (context.Cancelled()) {
      attempt.cancelled = true;
      return nullptr;
    }
    ++attempt.candidates;
    Skip skip;
    if (TryConnect(context.link, *entry, skip) == CandidateState::Answered) return entry;
    attempt.skips.push_back(std::move(skip));
  }
  return nullptr;
}

// Every interface the selector names, by path and USB location.
void AddAmbiguous(Reasons* why, const DeviceSearch& search, const std::vector<const DeviceEntry*>& named) {
  AddError(why, "'{0}' names {1} bootloaders: select one by its path or USB location",
           "“{0}”对应 {1} 个 bootloader：请用路径或 USB 位置选择其中一个",
           {search.selector, std::to_string(named.size())});
  for (const DeviceEntry* entry : named) {
    AddNote(why, "'{0}' names {1} (USB location {2}, serial number {3})",
            "“{0}”对应 {1}（USB 位置 {2}，序列号 {3}）",
            {search.selector, entry->path.value_or(entry->description), OrDash(entry->location),
             OrDash(entry->serial)});
    if (why != nullptr) why->back().utf8Args = entry->path ? 1u << 3 : (1u << 1 | 1u << 3);
  }
}

// "2.5" for 2500 ms: seconds as --timeout takes them, no trailing zeros.
std::string SecondsText(int32_t ms) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.3f", ms / 1000.0);
  std::string text = buffer;
  text.erase(text.find_last_not_of('0') + 1);
  if (text.back() == '.') text.pop_back();
  return text;
}

// The selected interface is not among those attached.
void AddSelectedMissing(Reasons* why, const DeviceSearch& search) {
  const std::string& selector = search.selector;
  AddError(why, "no bootloader with path, serial number or USB location '{0}' is attached",
           "没有连接路径、序列号或 USB 位置为“{0}”的 bootloader", {selector});
  const int32_t others = search.count();
  if (others == 0) return;
  AddCommandLineNote(
      why,
      others == 1 ? "1 other bootloader is attached: orvel-dfu --list shows its path, serial number and USB location"
                  : "{0} other bootloaders are attached: orvel-dfu --list shows their paths, serial numbers and "
                    "USB locations",
      "连接了 {0} 个其他 bootloader：orvel-dfu --list 可列出它们的路径、序列号和 USB 位置", {std::to_string(others)});
}

// Query mode found nothing to use: why, for every candidate seen.
void AddNothingConnected(Reasons* why, const DeviceSearch& search, const Attempt& attempt) {
  if (attempt.candidates == 0 && !search.selector.empty()) {
    AddSelectedMissing(why, search);
    AddCommandLineNote(why, "to wait until it attaches, add -w 1", "要等待它连接，请加上 -w 1");
    return;
  }
  if (attempt.candidates == 0) {
    AddError(why, "no bootloader found: no USB HID interface with product ID {0} is attached",
             "未找到 bootloader：没有连接产品 ID 为 {0} 的 USB HID 接口", {ProductIdText(search)});
    AddCommandLineNote(why, "to wait until the chip's bootloader attaches, add -w 1",
                       "要等待芯片的 bootloader 连接，请加上 -w 1");
    return;
  }
  for (const Skip& skip : attempt.skips) {
    if (why != nullptr) why->insert(why->end(), skip.reasons.begin(), skip.reasons.end());
  }
}

// A bounded wait ran out. Why each candidate was skipped went out as a note
// while waiting.
void AddGaveUp(Reasons* why, const DeviceSearch& search, int32_t timeoutMs, const Attempt& last) {
  const std::string seconds = SecondsText(timeoutMs);
  const std::string& selector = search.selector;
  const bool attached = last.candidates > 0;
  if (selector.empty()) {
    AddError(why, attached ? "gave up after {0} s (--timeout): no attached bootloader could be used"
                           : "gave up after {0} s (--timeout): no bootloader attached",
             attached ? "{0} 秒后放弃等待（--timeout）：连接的 bootloader 都无法使用"
                      : "{0} 秒后放弃等待（--timeout）：没有连接 bootloader",
             {seconds});
    return;
  }
  AddError(why, attached ? "gave up after {0} s (--timeout): bootloader '{1}' could not be used"
                         : "gave up after {0} s (--timeout): no bootloader '{1}' attached",
           attached ? "{0} 秒后放弃等待（--timeout）：bootloader“{1}”无法使用"
                    : "{0} 秒后放弃等待（--timeout）：没有连接 bootloader“{1}”",
           {seconds, selector});
}

// Said at once in wait mode: what it waits for, and for how long.
void SayWaitNote(JobContext& context, int32_t timeoutMs) {
  const bool selected = !context.search.selector.empty();
  std::string english = selected ? "waiting for bootloader '{1}'" : "waiting for a bootloader";
  std::string chinese = selected ? "正在等待 bootloader“{1}”" : "正在等待 bootloader";
  english += " (USB HID product ID {0}) to attach";
  chinese += "（USB HID 产品 ID {0}）连接";
  if (timeoutMs > 0) {
    english += " for at most {2} s";
    chinese += "，最多等待 {2} 秒";
  }
  Reasons start;
  AddNote(&start, english + "; Ctrl+C ends the wait", chinese + "；按 Ctrl+C 结束等待",
          {ProductIdText(context.search), context.search.selector, SecondsText(timeoutMs)});
  context.observer.Said(start);
}

// Wait mode: each interface's reason the first time it is skipped for it,
// as a note, since the wait goes on.
void SayNewSkips(JobContext& context, const std::vector<Skip>& skips, std::set<std::string>& told) {
  Reasons said;
  for (const Skip& skip : skips) {
    if (!told.insert(skip.key).second) continue;
    for (Reason reason : skip.reasons) {
      reason.severity = Severity::Note;
      said.push_back(std::move(reason));
    }
  }
  if (!said.empty()) context.observer.Said(said);
}

// Which of several was used, unless the user chose it.
void AddChoiceNote(Reasons* why, const DeviceSearch& search, const DeviceEntry& used) {
  const int32_t attached = search.count();
  if (attached < 2 || !search.selector.empty()) return;
  AddNote(why, "{0} bootloaders are attached; used {1} (serial number {2})",
          "连接了 {0} 个 bootloader；使用了 {1}（序列号 {2}）",
          {std::to_string(attached), used.path.value_or(used.description),
           OrDash(used.serial)});
  if (why != nullptr) why->back().utf8Args = used.path ? 1u << 2 : (1u << 1 | 1u << 2);
}

// A device that answered: input it queued before or right after the probe
// echo would otherwise be read as the reply to the job's first command.
void SettleConnected(JobContext& context, bool waited, const DeviceEntry& device) {
  context.link.DrainInput(kDrainMs, kDrainLongestMs, kDrainMostReports);
  context.observer.Connected(waited, device);
}

}  // namespace

std::string ProductIdText(const DeviceSearch& search) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(search.product_id));
  return text;
}

void CopyDeviceSettingsToSearch(const DfuSettings& settings, DeviceSearch& search) {
  search.vendor_id = settings.vendor_id;
  search.product_id = settings.product_id;
  search.interface_number = settings.interface_number;
  search.selector = settings.device;
}

int32_t ConnectDevice(JobContext& context, bool wait, Reasons* why, int32_t timeoutMs) {
  const int32_t start = context.clock.Now();
  const bool bounded = wait && timeoutMs > 0;
  std::set<std::string> told;
  if (wait) SayWaitNote(context, bounded ? timeoutMs : 0);
  for (;;) {
    // The last attempt of a bounded wait starts by the bound at the latest.
    const int32_t left = bounded ? timeoutMs - TicksSince(context.clock, start) : kAttemptPauseMs;
    Attempt attempt;
    attempt.cancelled = !context.Pause(std::min(kAttemptPauseMs, std::max(left, 0)));
    const DeviceEntry* connected = attempt.cancelled ? nullptr : ConnectFirstAnswering(context, attempt);
    if (wait) SayNewSkips(context, attempt.skips, told);
    if (connected != nullptr) {
      SettleConnected(context, wait, *connected);
      AddChoiceNote(why, context.search, *connected);
      return 1;
    }
    if (attempt.cancelled) {
      AddStopped(why, "stopped while looking for the bootloader", "在查找 bootloader 时被中止");
      return 0;
    }
    if (!attempt.ambiguous.empty()) {
      AddAmbiguous(why, context.search, attempt.ambiguous);
      return 0;
    }
    if (!wait) {
      AddNothingConnected(why, context.search, attempt);
      return 0;
    }
    if (bounded && TicksSince(context.clock, start) >= timeoutMs) {
      AddGaveUp(why, context.search, timeoutMs, attempt);
      return 0;
    }
  }
}

CandidateState ConnectTo(JobContext& context, const DeviceEntry& entry, Reasons* why) {
  const CandidateState state = TryCandidate(context.link, entry, why);
  if (state == CandidateState::Answered) SettleConnected(context, false, entry);
  return state;
}

const char* StateWord(CandidateState state) {
  switch (state) {
    case CandidateState::Answered:
      return "free";
    case CandidateState::Busy:
      return "busy";
    case CandidateState::NoAccess:
      return "no-access";
    case CandidateState::Silent:
      return "silent";
  }
  return "";
}

std::vector<ListedDevice> ListBootloaders(DeviceLink& link, DeviceSearch& search, TickSource& clock,
                                          const DfuSettings& settings) {
  CopyDeviceSettingsToSearch(settings, search);
  EnumerateDevices(search, clock);
  std::vector<ListedDevice> listed;
  for (const DeviceEntry* entry : SelectedEntries(search)) {
    ListedDevice device;
    device.entry = *entry;
    device.state = TryCandidate(link, *entry, &device.why);
    link.Close();
    listed.push_back(std::move(device));
  }
  return listed;
}
