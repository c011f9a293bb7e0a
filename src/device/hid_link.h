// The one open bootloader interface: claim, open, write reports, read replies.
#pragma once

#include <hidapi.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/ticks.h"

// Report payload size of the bootloader's HID interface.
constexpr int32_t kReportSize = 64;

// Why the link's last operation failed. The link says nothing itself; the
// layers above turn this into a reason.
struct LinkFailure {
  enum class Kind {
    None,
    NotOpen,        // no device was open: nothing was sent or read
    WriteFailed,    // a report was not taken whole; the link is closed
    ReadFailed,     // a read failed: the device is gone; the link is closed
    ReplyTimedOut,  // the reply was not complete when its time ran out
    ClaimHeld,      // another process holds the device's claim
    ClaimUnusable,  // the claim's lock file cannot be used; taken as held
    OpenFailed,     // the HID library could not open the device
  };
  Kind kind = Kind::None;
  // The HID library's own words (write, read, open), or what the claim
  // tried to lock (the node or the lock file).
  std::string detail;
};

// The link the bootloader's packets go over: one device interface, claimed
// against other running instances of the tool, opened, and written to and
// read from in reports. The engine works through this interface; HidLink is
// the one over the HID library.
class DeviceLink {
 public:
  virtual ~DeviceLink() = default;

  // False when another process holds the device, or its lock file cannot be
  // used. path may be nullptr.
  virtual bool ClaimDevice(const char* path) = 0;
  virtual bool OpenDevice(const char* path) = 0;
  // 1: all bytes sent; 0: nothing to send, no device, or a report failed
  // (which closes the link).
  virtual int32_t Write(const uint8_t* data, int32_t length) = 0;
  // 1: reply complete in time; 0: write failed or no reply wanted; -1: reply
  // incomplete when the time-out, counted from the end of the write, ran
  // out, or a read failed (which closes the link at once).
  virtual int32_t Exchange(const uint8_t* request, int32_t requestLength, uint8_t* reply,
                           int32_t replyLength, int32_t timeoutMs) = 0;
  // Discards queued input reports for at least minimumMs, and for as long as
  // full reports keep arriving, but never longer than mostMs or beyond
  // mostReports reports. Nothing when closed; a failed read closes the link.
  virtual void DrainInput(int32_t minimumMs, int32_t mostMs, int32_t mostReports) = 0;
  // Closes the device and lets go of its claim.
  virtual void Close() = 0;
  // Why the last operation failed.
  virtual const LinkFailure& Failure() const = 0;
};

// Every use of `device` (transfers, open, close) and of the claim happens
// under transferLock, so that no thread ever uses a handle another closed.
// Reply time-outs and the gap between reports run on the clock it is given.
class HidLink : public DeviceLink {
 public:
  explicit HidLink(TickSource& clock = ProcessTicks()) : clock_(clock) {}
  HidLink(const HidLink&) = delete;
  HidLink& operator=(const HidLink&) = delete;
  ~HidLink() override { Close(); }

  int32_t Write(const uint8_t* data, int32_t length) override;
  int32_t Exchange(const uint8_t* request, int32_t requestLength, uint8_t* reply,
                   int32_t replyLength, int32_t timeoutMs) override;
  void Close() override;
  bool ClaimDevice(const char* path) override;
  bool OpenDevice(const char* path) override;
  void DrainInput(int32_t minimumMs, int32_t mostMs, int32_t mostReports) override;
  const LinkFailure& Failure() const override { return lastFailure; }

  hid_device* device = nullptr;
  platform::DeviceClaim claim;
  std::mutex transferLock;
  bool collectionMode = false;
  LinkFailure lastFailure;

 private:
  // These expect transferLock held.
  void CloseLocked();
  bool WriteReportLocked(const uint8_t* chunk, int32_t size);
  // Bytes of one input report, 0 on time-out, -1 with no device or when the
  // read failed (the link is then closed).
  int ReadReportLocked(uint8_t* into, int32_t wanted, int32_t timeoutMs);
  void Fail(LinkFailure::Kind kind, std::string detail = std::string());
  void WaitForReportGap();

  TickSource& clock_;
};
