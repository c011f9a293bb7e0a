// The one open bootloader interface: claim, open, write reports, read replies.
#pragma once

#include <hidapi.h>

#include <cstdint>
#include <mutex>

#include "platform/platform.h"

// Report payload size of the bootloader's HID interface.
constexpr int32_t kReportSize = 64;

class HidLink {
 public:
  HidLink() = default;
  HidLink(const HidLink&) = delete;
  HidLink& operator=(const HidLink&) = delete;
  ~HidLink() { Close(); }

  // 1: all bytes sent; 0: nothing to send, no device, or a report failed
  // (which closes the link).
  int32_t Write(const uint8_t* data, int32_t length);
  // 1: reply complete in time; 0: write failed or no reply wanted; -1: reply
  // incomplete when the time-out, counted from the end of the write, ran out.
  int32_t Exchange(const uint8_t* request, int32_t requestLength, uint8_t* reply,
                   int32_t replyLength, int32_t timeoutMs);
  void Close();
  // False when another process holds the device. path may be nullptr.
  bool ClaimDevice(const char* path);
  bool OpenDevice(const char* path);
  // Discards queued input reports for at least minimumMs, and for as long as
  // full reports keep arriving, under transferLock. Nothing when closed.
  void DrainInput(int32_t minimumMs);

  hid_device* device = nullptr;
  platform::NamedLock claim;
  std::mutex transferLock;
  bool collectionMode = false;
};

extern HidLink theHidLink;
