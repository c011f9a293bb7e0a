// One virtual bootloader on an emulated hidraw node: turns the client's report
// writes into requests for the model, and queues the model's replies as input
// reports that the client reads one per read() call, as from a real hidraw node.
#pragma once

#include <umockdev.h>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
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
  std::vector<std::string> trace;  // in the order the requests arrived
  ReplyTimer timer;
  int32_t latencyUs = 0;
  // Called from any thread: device N should leave the bus.
  std::function<void(int)> requestRemoval;
};

class VirtualPort {
 public:
  VirtualPort(int index, uint32_t flashSize, PortBus& bus);
  VirtualPort(const VirtualPort&) = delete;
  VirtualPort& operator=(const VirtualPort&) = delete;
  ~VirtualPort();

  int index() const { return index_; }
  // Not guarded: use before Attach or after the client has gone.
  sim::VirtualBootloader& model() { return model_; }

  // Puts the node on the testbed's bus and starts answering on it.
  bool Attach(HidrawTestbed& testbed, std::string& error);
  // Takes the node off the bus (main thread).
  void Detach(HidrawTestbed& testbed);

 private:
  static gboolean OnIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);
  static gboolean OnWrite(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);
  static gboolean OnRead(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);
  static void OnConnected(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);
  static void OnVanished(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);

  void HandleWrite(UMockdevIoctlClient* client);
  void HandleRead(UMockdevIoctlClient* client);
  void SendReplies(const std::vector<sim::Reply>& replies);
  void DeliverLater(const sim::Report& report);
  // The caller holds the bus lock.
  void Deliver(const sim::Report& report);
  void RingBell();
  void AnswerBell();
  void RecordNewRequests(size_t alreadyTraced);
  void RequestRemovalOnce();

  const int index_;
  PortBus& bus_;
  sim::VirtualBootloader model_;
  UMockdevIoctlBase* handler_ = nullptr;
  int masterFd_ = -1;
  int slaveFd_ = -1;  // our own end of the client's side, to take the bell back

  // Input reports waiting for the client. While any is waiting, exactly one
  // byte (the bell) sits in the pseudo-terminal so that the client's poll()
  // reports the node readable; the reports themselves go through read().
  std::deque<sim::Report> input_;
  bool bellRinging_ = false;
  int clients_ = 0;
  int repliesInFlight_ = 0;  // posted to the timer, not yet delivered
  SimClock::time_point lastReplyDue_{};
  bool removalRequested_ = false;
  bool removed_ = false;
};

}  // namespace orvel_sim
