// The one open bootloader interface: claim, open, write reports, read replies.
#include "device/hid_link.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "common/ascii_case.h"
#include "platform/ticks.h"

HidLink theHidLink;

namespace {

// Consecutive reports of one write leave at least this many ms between them,
// so the bootloader's endpoint is never handed two reports back to back.
constexpr int32_t kReportGapMs = 1;

void WaitForReportGap() {
  const int32_t start = NowTicks();
  while (NowTicks() - start < kReportGapMs) SleepTicks(1);
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

int32_t HidLink::Write(const uint8_t* data, int32_t length) {
  if (data == nullptr || length <= 0) return 0;
  int32_t sent = 0;
  for (;;) {
    const int32_t chunk = std::min(kReportSize, length - sent);
    uint8_t buffer[kReportSize + 1] = {};
    if (device == nullptr) return 0;
    // Without numbered reports a leading report ID 0 goes in front; one
    // collection of a multi-collection device takes the first byte as its ID.
    const int32_t reportLength = collectionMode ? kReportSize : kReportSize + 1;
    std::memcpy(buffer + (collectionMode ? 0 : 1), data + sent, static_cast<size_t>(chunk));
    int written;
    {
      std::lock_guard<std::mutex> hold(transferLock);
      written = hid_write(device, buffer, static_cast<size_t>(reportLength));
    }
    if (written != reportLength) {
      Close();
      return 0;
    }
    sent += chunk;
    if (sent >= length) return 1;
    WaitForReportGap();
  }
}

int32_t HidLink::Exchange(const uint8_t* request, int32_t requestLength, uint8_t* reply,
                          int32_t replyLength, int32_t timeoutMs) {
  const int32_t writeResult = Write(request, requestLength);
  if (writeResult <= 0) return writeResult;
  if (reply == nullptr || replyLength <= 0) return 0;

  // The reply's deadline runs from the end of the write and covers every
  // report of the reply together.
  const int32_t start = NowTicks();
  int32_t timeLeft = timeoutMs;
  int32_t received = 0;
  for (;;) {
    const int32_t wanted = std::min(kReportSize, replyLength - received);
    if (device == nullptr) return received >= replyLength ? 1 : -1;
    int got;
    {
      std::lock_guard<std::mutex> hold(transferLock);
      got = hid_read_timeout(device, reply + received, static_cast<size_t>(wanted), timeLeft);
    }
    // A short report is no part of the reply; its bytes get overwritten.
    if (got == wanted) received += wanted;
    // A failing read returns at once; pause before the next try instead of
    // spinning a core until the deadline.
    if (got < 0) SleepTicks(1);
    const int32_t elapsed = NowTicks() - start;
    if (elapsed >= timeoutMs) return received >= replyLength ? 1 : -1;
    timeLeft = timeoutMs - elapsed;
    if (received >= replyLength) return 1;
  }
}

void HidLink::Close() {
  if (device != nullptr) {
    hid_close(device);
    device = nullptr;
  }
  if (claim.held()) claim.Release();
}

bool HidLink::ClaimDevice(const char* path) {
  if (path == nullptr) return false;
  const std::string name = ClaimNameOf(path);
  claim.Release();
  // On the platform's HID paths "col" only occurs in the marker "&col", which
  // names one top-level collection of a device with several.
  collectionMode = name.find("col") != std::string::npos;
  switch (claim.TryAcquire(name)) {
    case platform::NamedLock::Outcome::Acquired:
      return true;
    case platform::NamedLock::Outcome::HeldElsewhere:
      return false;
    case platform::NamedLock::Outcome::Unavailable:
      break;
  }
  // Without a working lock the tool still serves the device, unguarded.
  return true;
}

void HidLink::DrainInput(int32_t minimumMs) {
  if (device == nullptr) return;
  const int32_t begin = NowTicks();
  std::lock_guard<std::mutex> hold(transferLock);
  uint8_t scratch[kReportSize];
  for (;;) {
    const int read = hid_read_timeout(device, scratch, sizeof scratch, 0);
    if (read == kReportSize) continue;
    if (NowTicks() - begin > minimumMs) return;
    SleepTicks(1);  // nothing queued right now; poll again shortly
  }
}

bool HidLink::OpenDevice(const char* path) {
  if (device != nullptr) {
    hid_close(device);
    device = nullptr;
  }
  if (path == nullptr) return false;
  device = hid_open_path(path);
  return device != nullptr;
}
