// The one open bootloader interface: claim, open, write reports, read replies.
#include "device/hid_link.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "common/ascii_case.h"
#include "device/device_search.h"
#include "platform/platform.h"
#include "platform/ticks.h"

namespace {

// Consecutive reports of one write leave at least this many ms between them,
// so the bootloader's endpoint is never handed two reports back to back.
constexpr int32_t kReportGapMs = 1;

// What the HID library says went wrong; dev nullptr for a failed open.
std::string HidErrorText(hid_device* dev) {
  return platform::WideToUtf8(hid_error(dev));
}

// Windows paths carry the HID bus name ("\\?\hid#vid_...") and hidraw paths
// the node name ("/dev/hidraw3"); the claim is named from there on, which
// names one interface the same way in every process. Paths without it
// (macOS, the libusb backend) are named whole so they can still be claimed.
std::string ClaimNameOf(std::string_view path) {
  size_t from = FindIgnoringAsciiCase(path, "hid");
  if (from == std::string_view::npos) return std::string(path);
  std::string name;
  for (char c : path.substr(from)) {
    if (c != '\\') name.push_back(c);
  }
  return name;
}

}  // namespace

void HidLink::WaitForReportGap() {
  const int32_t start = clock_.Now();
  while (TicksSince(clock_, start) < kReportGapMs) clock_.Sleep(1);
}

int32_t HidLink::Write(const uint8_t* data, int32_t length) {
  lastFailure = LinkFailure{};
  if (data == nullptr || length <= 0) return 0;
  int32_t sent = 0;
  for (;;) {
    const int32_t chunk = std::min(kReportSize, length - sent);
    {
      std::lock_guard<std::mutex> hold(transferLock);
      if (!WriteReportLocked(data + sent, chunk)) return 0;
    }
    sent += chunk;
    if (sent >= length) return 1;
    WaitForReportGap();
  }
}

bool HidLink::WriteReportLocked(const uint8_t* chunk, int32_t size) {
  if (device == nullptr) {
    Fail(LinkFailure::Kind::NotOpen);
    return false;
  }
  // Without numbered reports a leading report ID 0 goes in front; one
  // collection of a multi-collection device takes the first byte as its ID.
  uint8_t buffer[kReportSize + 1] = {};
  const int32_t reportLength = collectionMode ? kReportSize : kReportSize + 1;
  std::memcpy(buffer + (collectionMode ? 0 : 1), chunk, static_cast<size_t>(size));
  const int written = hid_write(device, buffer, static_cast<size_t>(reportLength));
  // More than the report is whole too: hidapi's Windows backend pads a report
  // to the interface's output report length and counts the padding.
  if (written >= reportLength) return true;
  Fail(LinkFailure::Kind::WriteFailed, HidErrorText(device));
  CloseLocked();
  return false;
}

int32_t HidLink::Exchange(const uint8_t* request, int32_t requestLength, uint8_t* reply,
                          int32_t replyLength, int32_t timeoutMs) {
  const int32_t writeResult = Write(request, requestLength);
  if (writeResult <= 0) return writeResult;
  if (reply == nullptr || replyLength <= 0) return 0;

  // The reply's deadline runs from the end of the write and covers every
  // report of the reply together.
  const int32_t start = clock_.Now();
  int32_t timeLeft = timeoutMs;
  int32_t received = 0;
  for (;;) {
    const int32_t wanted = std::min(kReportSize, replyLength - received);
    int got;
    {
      std::lock_guard<std::mutex> hold(transferLock);
      got = ReadReportLocked(reply + received, wanted, timeLeft);
    }
    // A device that is gone fails every read at once: waiting out the
    // time-out would only delay the failure.
    if (got < 0) return -1;
    // A short report is no part of the reply; its bytes get overwritten.
    if (got == wanted) received += wanted;
    if (received >= replyLength) return 1;
    const int32_t elapsed = TicksSince(clock_, start);
    if (elapsed >= timeoutMs) {
      Fail(LinkFailure::Kind::ReplyTimedOut);
      return -1;
    }
    timeLeft = timeoutMs - elapsed;
  }
}

int HidLink::ReadReportLocked(uint8_t* into, int32_t wanted, int32_t timeoutMs) {
  if (device == nullptr) {
    Fail(LinkFailure::Kind::NotOpen);
    return -1;
  }
  const int got = hid_read_timeout(device, into, static_cast<size_t>(wanted), timeoutMs);
  if (got < 0) {
    Fail(LinkFailure::Kind::ReadFailed, HidErrorText(device));
    CloseLocked();
  }
  return got;
}

void HidLink::Close() {
  std::lock_guard<std::mutex> hold(transferLock);
  CloseLocked();
}

void HidLink::CloseLocked() {
  if (device != nullptr) {
    hid_close(device);
    device = nullptr;
  }
  claim.Release();
}

bool HidLink::ClaimDevice(const char* path) {
  lastFailure = LinkFailure{};
  if (path == nullptr) return false;
  const std::string name = ClaimNameOf(path);
  std::lock_guard<std::mutex> hold(transferLock);
  claim.Release();
  // On the platform's HID paths "col" only occurs in the marker "&col", which
  // names one top-level collection of a device with several.
  collectionMode = name.find("col") != std::string::npos;
  switch (claim.TryAcquire(path, name)) {
    case platform::DeviceClaim::Outcome::Acquired:
      return true;
    case platform::DeviceClaim::Outcome::HeldElsewhere:
      Fail(LinkFailure::Kind::ClaimHeld, claim.target());
      return false;
    case platform::DeviceClaim::Outcome::Unusable:
      // Nothing tells a stale or planted file from a holder; guessing
      // "unguarded" would let any local user defeat the claim.
      Fail(LinkFailure::Kind::ClaimUnusable, claim.target());
      return false;
    case platform::DeviceClaim::Outcome::Unavailable:
      break;
  }
  // Without a working claim the tool still serves the device, unguarded.
  return true;
}

void HidLink::DrainInput(int32_t minimumMs, int32_t mostMs, int32_t mostReports) {
  std::lock_guard<std::mutex> hold(transferLock);
  if (device == nullptr) return;
  const int32_t begin = clock_.Now();
  uint8_t scratch[kReportSize];
  // A device that floods the queue must not keep the job from going on.
  for (int32_t reports = 0; reports < mostReports && TicksSince(clock_, begin) < mostMs;) {
    const int read = ReadReportLocked(scratch, kReportSize, 0);
    if (read < 0) return;
    if (read > 0) ++reports;
    if (read == kReportSize) continue;
    if (TicksSince(clock_, begin) > minimumMs) return;
    clock_.Sleep(1);  // nothing queued right now; poll again shortly
  }
}

bool HidLink::OpenDevice(const char* path) {
  lastFailure = LinkFailure{};
  std::lock_guard<std::mutex> hold(transferLock);
  if (device != nullptr) {
    hid_close(device);
    device = nullptr;
  }
  if (path == nullptr) return false;
  std::lock_guard<std::mutex> library(HidLibraryLock());
  device = hid_open_path(path);
  if (device == nullptr) Fail(LinkFailure::Kind::OpenFailed, HidErrorText(nullptr));
  return device != nullptr;
}

void HidLink::Fail(LinkFailure::Kind kind, std::string detail) {
  lastFailure.kind = kind;
  lastFailure.detail = std::move(detail);
}
