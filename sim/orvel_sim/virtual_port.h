// One virtual bootloader on an emulated hidraw node: turns a client's report
// writes into requests for the model, and queues the model's replies as input
// reports for every open file of the node, which reads them one per read()
// call, as from a real hidraw node.
#pragma once

#include <termios.h>
#include <umockdev.h>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "hidraw_testbed.h"
#include "reply_timer.h"
#include "virtual_bootloader.h"

namespace orvel_sim {

// What all ports share. `lock` guards every port and the trace: umockdev's
// worker thread and the reply timer both act on the devices.
struct PortBus {
  std::mutex lock;
  bool tracing = false;            // keep the trace (--trace)
  std::vector<std::string> trace;  // in the order the requests arrived
  ReplyTimer timer;
  int32_t latencyUs = 0;
  // Called from any thread: device N should leave the bus.
  std::function<void(int)> requestRemoval;
  // Zero: devices stay until they restart or unplug. Else a device that was
  // used and did not restart is taken away once this long has passed since
  // its use with no file of it open (a board that failed at a station):
  // checkUnusedAfter(N, wait) asks, from any thread, for device N's
  // TakeAwayIfUnused() `wait` from now.
  SimClock::duration unusedLimit{};
  std::function<void(int, SimClock::duration)> checkUnusedAfter;
};

class VirtualPort {
 public:
  VirtualPort(const NodePlace& place, const UsbIdentity& identity, uint32_t flashSize,
              PortBus& bus);
  VirtualPort(const VirtualPort&) = delete;
  VirtualPort& operator=(const VirtualPort&) = delete;
  ~VirtualPort();

  int index() const { return place_.node; }
  // Not guarded: use before Attach or after the client has gone.
  sim::VirtualBootloader& model() { return model_; }

  // Puts the node on the testbed's bus and starts answering on it.
  bool Attach(HidrawTestbed& testbed, std::string& error);
  // Takes the node off the bus (main thread).
  void Detach(HidrawTestbed& testbed);
  // The device leaves the bus as if pulled out if it has been unused for the
  // bus's unusedLimit and no file of it is open (any thread).
  void TakeAwayIfUnused();
  // The flash as it is now (any thread).
  std::vector<uint8_t> FlashCopy();

 private:
  // One open file of the node (umockdev has a client for each): its own
  // input queue, as every open file of a hidraw node has.
  struct Handle {
    std::deque<sim::Report> input;  // arrived, not yet read, oldest first
    // Has used the device (an ioctl, read or write). Only such handles wake
    // poll(): a file opened merely to lock the node never reads, and its
    // queue must not keep the node readable for the one that does.
    bool listening = false;
  };

  static gboolean OnIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);
  static gboolean OnWrite(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);
  static gboolean OnRead(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);
  static void OnConnected(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);
  // umockdev drops a client when its file is closed or its process dies.
  static void OnClientGone(gpointer self, GObject* client);

  void HandleIoctl(UMockdevIoctlClient* client);
  void HandleWrite(UMockdevIoctlClient* client);
  void HandleRead(UMockdevIoctlClient* client);
  // The caller holds the bus lock. nullptr for a client that is gone.
  Handle* Listening(UMockdevIoctlClient* client);
  void SendReplies(const std::vector<sim::Reply>& replies);
  void DeliverLater(const sim::Report& report);
  // The caller holds the bus lock.
  void Deliver(const sim::Report& report);
  // Takes the client side of the node's terminal (`slave`) for the bell.
  bool PlaceBell(int slave);
  void UpdateBell();
  bool ListenerHasInput() const;
  void RecordNewRequests(size_t alreadyTraced);
  void RequestRemovalOnce();
  // The caller holds the bus lock.
  void NoteUse(const sim::Report& request, const sim::HandleResult& result);
  void CheckUnusedLater();

  const NodePlace place_;
  const UsbIdentity identity_;
  PortBus& bus_;
  sim::VirtualBootloader model_;
  sim::HandleResult scratch_;  // reused for every request
  UMockdevIoctlBase* handler_ = nullptr;
  int masterFd_ = -1;
  int slaveFd_ = -1;  // our own end of the client's side, to set the bell

  std::map<UMockdevIoctlClient*, Handle> handles_;
  // One byte (the bell) sits in the pseudo-terminal for good; while a
  // listening handle has input, the terminal's VMIN is 1 so that poll()
  // reports the node readable, else 2. The reports themselves go through
  // read(). All files of the node share the terminal, so a listener may wake
  // for another's input and then read nothing.
  termios bellMode_{};
  bool bellRinging_ = false;
  int repliesInFlight_ = 0;  // posted to the timer, not yet delivered
  SimClock::time_point lastReplyDue_{};
  bool removalRequested_ = false;
  bool removed_ = false;
  // Used: had a request other than a probe (lastUse_: the latest), or left
  // a probe unanswered (lastUse_: the first such, so that a tool waiting
  // beside the board and probing it again and again does not keep it).
  bool used_ = false;
  SimClock::time_point lastUse_{};
};

}  // namespace orvel_sim
