#include "reply_timer.h"

#include <sys/prctl.h>

namespace orvel_sim {

namespace {

// How long before a due action the thread stops sleeping.
constexpr auto kSpinAhead = std::chrono::microseconds(50);

}  // namespace

void ReplyTimer::Start() {
  std::lock_guard<std::mutex> hold(mutex_);
  stopping_ = false;
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
}

void ReplyTimer::Stop() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
    actions_.clear();
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ReplyTimer::PostAt(SimClock::time_point due, std::function<void()> action) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (stopping_) return;
    const auto posted = actions_.emplace(std::make_pair(due, posted_++), std::move(action));
    // The thread already waits for an earlier action; it sees this one then.
    if (posted != actions_.begin()) return;
  }
  wake_.notify_all();
}

void ReplyTimer::Run() {
  // Late replies are due to the microsecond (--latency): wake on time, not
  // up to the default 50 us slack later.
  prctl(PR_SET_TIMERSLACK, 1UL);
  std::unique_lock<std::mutex> hold(mutex_);
  while (!stopping_) {
    if (actions_.empty()) {
      wake_.wait(hold);
      continue;
    }
    const auto first = actions_.begin();
    // A copy: Stop() may drop the action while we wait.
    const SimClock::time_point due = first->first.first;
    const SimClock::time_point now = SimClock::now();
    // With replies of several devices waiting, the thread sleeps to the
    // last: spinning for one would take a CPU from the devices' clients.
    const auto spinAhead = actions_.size() == 1 ? kSpinAhead : SimClock::duration::zero();
    if (now < due - spinAhead) {
      wake_.wait_until(hold, due - spinAhead);
      continue;
    }
    if (now < due) {
      // Waking from a sleep takes some 20 to 40 us, more than the caller's
      // latency allows to be lost: the last stretch is spent awake.
      hold.unlock();
      while (SimClock::now() < due) {
      }
      hold.lock();
      continue;
    }
    std::function<void()> action = std::move(first->second);
    actions_.erase(first);
    // The action takes the devices' lock; never hold ours meanwhile.
    hold.unlock();
    action();
    hold.lock();
  }
}

}  // namespace orvel_sim
