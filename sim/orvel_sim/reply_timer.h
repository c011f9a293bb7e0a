// Runs actions at given times on a thread of its own: replies that a device
// sends late, and devices that leave the bus a little after a restart.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace orvel_sim {

using SimClock = std::chrono::steady_clock;

class ReplyTimer {
 public:
  ReplyTimer() = default;
  ReplyTimer(const ReplyTimer&) = delete;
  ReplyTimer& operator=(const ReplyTimer&) = delete;
  ~ReplyTimer() { Stop(); }

  void Start();
  // Actions still waiting are dropped.
  void Stop();
  // Actions due at the same time run in the order they were posted.
  void PostAt(SimClock::time_point due, std::function<void()> action);

 private:
  void Run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::multimap<std::pair<SimClock::time_point, uint64_t>, std::function<void()>> actions_;
  uint64_t posted_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace orvel_sim
