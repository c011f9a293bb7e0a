#include "virtual_hid_bus.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

bool Arrived(const QueuedInput& input, int32_t now) {
  return TicksBetween(now, input.readyTick) <= 0;
}

// How many reports at the front of a queue have arrived by now: the queue is
// in arrival order.
size_t ArrivedCount(const std::deque<QueuedInput>& input, int32_t now) {
  size_t arrived = 0;
  while (arrived < input.size() && Arrived(input[arrived], now)) ++arrived;
  return arrived;
}

}  // namespace

// Never destroyed: the tool's own globals (the open link among them) are torn
// down at exit after function-local statics, and may still close a device.
VirtualHidBus& VirtualHidBus::Instance() {
  static VirtualHidBus* const bus = new VirtualHidBus;
  return *bus;
}

void VirtualHidBus::Reset() {
  std::lock_guard<std::mutex> hold(lock_);
  devices_.clear();
  handles_.clear();
  writes_.clear();
  enumerations_ = 0;
  ++generation_;
}

int VirtualHidBus::AddDevice(const VirtualDeviceSetup& setup) {
  std::lock_guard<std::mutex> hold(lock_);
  auto slot = std::make_unique<Slot>();
  slot->setup = setup;
  slot->model = std::make_unique<VirtualBootloader>(setup.flashSize);
  devices_.push_back(std::move(slot));
  return static_cast<int>(devices_.size()) - 1;
}

VirtualBootloader& VirtualHidBus::device(int index) {
  std::lock_guard<std::mutex> hold(lock_);
  return *devices_[index]->model;
}

const VirtualDeviceSetup& VirtualHidBus::setup(int index) const {
  std::lock_guard<std::mutex> hold(lock_);
  return devices_[index]->setup;
}

int VirtualHidBus::enumerations() const {
  std::lock_guard<std::mutex> hold(lock_);
  return enumerations_;
}

const std::vector<WriteRecord>& VirtualHidBus::writes() const { return writes_; }

int VirtualHidBus::writeCount(int index) const {
  std::lock_guard<std::mutex> hold(lock_);
  return static_cast<int>(std::count_if(writes_.begin(), writes_.end(),
                                        [index](const WriteRecord& write) { return write.device == index; }));
}

bool VirtualHidBus::OpenDenied(int index) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!ValidIndex(index)) return true;
  Slot& slot = *devices_[index];
  return slot.setup.openDenied || ++slot.openAttempts <= slot.setup.deniedOpens;
}

void VirtualHidBus::Unplug(int index) {
  std::lock_guard<std::mutex> hold(lock_);
  if (ValidIndex(index)) devices_[index]->model->Unplug();
}

// Every clock reading comes before the lock: a test's clock may itself
// act on the bus when it is read (a device that vanishes at a given time).
int VirtualHidBus::pendingInput(int index) const {
  const int32_t now = NowTicks();
  std::lock_guard<std::mutex> hold(lock_);
  size_t pending = 0;
  for (const auto& entry : handles_) {
    const Handle& handle = entry.second;
    if (handle.device != index) continue;
    const size_t arrived = ArrivedCount(handle.input, now);
    // Arrivals beyond the ring's room are lost, though not yet dropped.
    pending += std::min(arrived, kInputQueueLimit) + (handle.input.size() - arrived);
  }
  return static_cast<int>(pending);
}

int VirtualHidBus::reportsRead(int index) const {
  std::lock_guard<std::mutex> hold(lock_);
  return ValidIndex(index) ? devices_[index]->reportsRead : 0;
}

void VirtualHidBus::QueueInput(int index, const std::vector<uint8_t>& bytes,
                               int32_t delayMs) {
  const int32_t now = NowTicks();
  std::lock_guard<std::mutex> hold(lock_);
  if (!ValidIndex(index) || bytes.empty()) return;
  Report report{};
  const size_t length = std::min(bytes.size(), report.size());
  std::copy_n(bytes.begin(), length, report.begin());
  Send(index, report, length, delayMs, now);
}

bool VirtualHidBus::OnBus(int index) const {
  std::lock_guard<std::mutex> hold(lock_);
  return OnBusLocked(index);
}

bool VirtualHidBus::OnBusLocked(int index) const {
  if (!ValidIndex(index)) return false;
  const Slot& slot = *devices_[index];
  return !slot.model->unplugged() && !slot.model->restarted() &&
         enumerations_ >= slot.setup.appearAfterEnumerations;
}

int VirtualHidBus::FindOpenable(const char* path) const {
  std::lock_guard<std::mutex> hold(lock_);
  if (path == nullptr) return -1;
  for (size_t i = 0; i < devices_.size(); ++i) {
    const int index = static_cast<int>(i);
    if (devices_[i]->setup.path == path && OnBusLocked(index)) return index;
  }
  return -1;
}

int VirtualHidBus::OpenHandle(int index) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!ValidIndex(index)) return -1;
  const int number = nextHandle_++;
  handles_[number] = Handle{index, {}};
  return number;
}

void VirtualHidBus::CloseHandle(int handle) {
  std::lock_guard<std::mutex> hold(lock_);
  handles_.erase(handle);
}

int VirtualHidBus::Write(int index, const uint8_t* data, size_t length) {
  const int32_t now = NowTicks();
  std::lock_guard<std::mutex> hold(lock_);
  if (!ValidIndex(index) || data == nullptr || length == 0) return -1;
  writes_.push_back(WriteRecord{index, now, std::vector<uint8_t>(data, data + length)});

  // Report ID 0 means "no numbered reports" and is not sent; any other first
  // byte is the report number and goes out as part of the report.
  const uint8_t* body = data[0] == 0 ? data + 1 : data;
  const size_t bodyLength = data[0] == 0 ? length - 1 : length;
  Report report{};
  std::copy_n(body, std::min(bodyLength, report.size()), report.begin());

  Slot& slot = *devices_[index];
  slot.model->HandleReport(report, scratch_);
  if (!scratch_.accepted) return -1;
  for (const Reply& reply : scratch_.replies) {
    Send(index, reply.bytes, reply.bytes.size(), reply.delayMs, now);
  }
  return static_cast<int>(std::max(length, slot.setup.outputReportLength));
}

int VirtualHidBus::Read(int handle, uint8_t* data, size_t length, int32_t milliseconds) {
  // One reading of the clock: a test clock may move on with every reading.
  const int32_t now = NowTicks();
  std::unique_lock<std::mutex> hold(lock_);
  auto found = handles_.find(handle);
  if (found == handles_.end()) return -1;
  Slot& slot = *devices_[found->second.device];
  if (slot.model->unplugged()) return -1;
  DropOverflow(found->second.input, now);
  if (found->second.input.empty()) {
    // Nothing is queued and nothing can arrive without a write, so a blocking
    // read returns at once instead of hanging the caller forever.
    hold.unlock();
    if (milliseconds > 0) SleepTicks(milliseconds);
    return 0;
  }
  const int32_t readyTick = found->second.input.front().readyTick;
  const int32_t wait = TicksBetween(now, readyTick);
  if (wait > 0) {
    const bool timesOut = milliseconds >= 0 && wait > milliseconds;
    hold.unlock();
    SleepTicks(timesOut ? milliseconds : wait);
    if (timesOut) return 0;
    hold.lock();
    // Only this handle's reader takes from its queue: the report waited
    // for is still at its front, unless the handle was closed meanwhile.
    found = handles_.find(handle);
    if (found == handles_.end()) return -1;
    DropOverflow(found->second.input, readyTick);
  }
  std::deque<QueuedInput>& input = found->second.input;
  const QueuedInput& next = input.front();
  const size_t copied = std::min<size_t>(length, next.length);
  if (data != nullptr) std::memcpy(data, next.bytes.data(), copied);
  input.pop_front();
  ++devices_[found->second.device]->reportsRead;
  return static_cast<int>(copied);
}

bool VirtualHidBus::ValidIndex(int index) const {
  return index >= 0 && static_cast<size_t>(index) < devices_.size();
}

void VirtualHidBus::Send(int index, const Report& bytes, size_t length, int32_t delayMs,
                         int32_t now) {
  Slot& slot = *devices_[index];
  QueuedInput input;
  input.bytes = bytes;
  input.length = static_cast<uint8_t>(length);
  input.readyTick = static_cast<int32_t>(static_cast<uint32_t>(now) +
                                         static_cast<uint32_t>(std::max<int32_t>(delayMs, 0)));
  // A device sends its reports in order: nothing overtakes a late one.
  if (slot.sentAny && TicksBetween(input.readyTick, slot.lastReadyTick) > 0) {
    input.readyTick = slot.lastReadyTick;
  }
  slot.lastReadyTick = input.readyTick;
  slot.sentAny = true;
  for (auto& entry : handles_) {
    if (entry.second.device != index) continue;
    // Bounds a handle that never reads: what arrived meanwhile is settled.
    DropOverflow(entry.second.input, now);
    entry.second.input.push_back(input);
  }
}

// The reports that arrived since the handle last read went into its ring one
// by one; those that found it full are lost. Nothing was read meanwhile, so
// the first kInputQueueLimit arrivals are the ones kept.
void VirtualHidBus::DropOverflow(std::deque<QueuedInput>& input, int32_t now) {
  const size_t arrived = ArrivedCount(input, now);
  if (arrived <= kInputQueueLimit) return;
  input.erase(input.begin() + static_cast<std::ptrdiff_t>(kInputQueueLimit),
              input.begin() + static_cast<std::ptrdiff_t>(arrived));
}

}  // namespace sim
