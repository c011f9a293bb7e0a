#include "virtual_hid_bus.h"

#include <algorithm>
#include <cstring>

namespace sim {

// Never destroyed: the tool's own globals (the open link among them) are torn
// down at exit after function-local statics, and may still close a device.
VirtualHidBus& VirtualHidBus::Instance() {
  static VirtualHidBus* const bus = new VirtualHidBus;
  return *bus;
}

void VirtualHidBus::Reset() {
  devices_.clear();
  writes_.clear();
  enumerations_ = 0;
  ++generation_;
}

int VirtualHidBus::AddDevice(const VirtualDeviceSetup& setup) {
  auto slot = std::make_unique<Slot>();
  slot->setup = setup;
  slot->model = std::make_unique<VirtualBootloader>(setup.flashSize);
  devices_.push_back(std::move(slot));
  return static_cast<int>(devices_.size()) - 1;
}

VirtualBootloader& VirtualHidBus::device(int index) { return *devices_[index]->model; }

const VirtualDeviceSetup& VirtualHidBus::setup(int index) const {
  return devices_[index]->setup;
}

int VirtualHidBus::enumerations() const { return enumerations_; }

const std::vector<WriteRecord>& VirtualHidBus::writes() const { return writes_; }

int VirtualHidBus::pendingInput(int index) const {
  if (!ValidIndex(index)) return 0;
  return static_cast<int>(devices_[index]->input.size());
}

void VirtualHidBus::QueueInput(int index, const std::vector<uint8_t>& bytes,
                               int32_t delayMs) {
  if (!ValidIndex(index) || bytes.empty()) return;
  Report report{};
  const size_t length = std::min(bytes.size(), report.size());
  std::copy_n(bytes.begin(), length, report.begin());
  Enqueue(*devices_[index], report, length, delayMs);
}

bool VirtualHidBus::OnBus(int index) const {
  if (!ValidIndex(index)) return false;
  const Slot& slot = *devices_[index];
  return !slot.model->unplugged() && !slot.model->restarted() &&
         enumerations_ >= slot.setup.appearAfterEnumerations;
}

int VirtualHidBus::FindOpenable(const char* path) const {
  if (path == nullptr) return -1;
  for (size_t i = 0; i < devices_.size(); ++i) {
    const int index = static_cast<int>(i);
    if (devices_[i]->setup.path == path && OnBus(index)) return index;
  }
  return -1;
}

void VirtualHidBus::NoteOpened(int index) {
  if (ValidIndex(index)) ++devices_[index]->openHandles;
}

void VirtualHidBus::NoteClosed(int index) {
  if (!ValidIndex(index)) return;
  Slot& slot = *devices_[index];
  if (slot.openHandles > 0 && --slot.openHandles == 0) slot.input.clear();
}

int VirtualHidBus::Write(int index, const uint8_t* data, size_t length) {
  if (!ValidIndex(index) || data == nullptr || length == 0) return -1;
  const int32_t now = NowTicks();
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
    Enqueue(slot, reply.bytes, reply.bytes.size(), reply.delayMs);
  }
  return static_cast<int>(std::max(length, slot.setup.outputReportLength));
}

int VirtualHidBus::Read(int index, uint8_t* data, size_t length, int32_t milliseconds) {
  if (!ValidIndex(index)) return -1;
  Slot& slot = *devices_[index];
  if (slot.model->unplugged()) return -1;
  if (slot.input.empty()) {
    // Nothing is queued and nothing can arrive without a write, so a blocking
    // read returns at once instead of hanging the caller forever.
    if (milliseconds > 0) SleepTicks(milliseconds);
    return 0;
  }
  const int32_t wait = slot.input.front().readyTick - NowTicks();
  if (wait > 0) {
    if (milliseconds >= 0 && wait > milliseconds) {
      SleepTicks(milliseconds);
      return 0;
    }
    SleepTicks(wait);
  }
  const QueuedInput& next = slot.input.front();
  const size_t copied = std::min<size_t>(length, next.length);
  if (data != nullptr) std::memcpy(data, next.bytes.data(), copied);
  slot.input.pop_front();
  return static_cast<int>(copied);
}

bool VirtualHidBus::ValidIndex(int index) const {
  return index >= 0 && static_cast<size_t>(index) < devices_.size();
}

void VirtualHidBus::Enqueue(Slot& slot, const Report& bytes, size_t length,
                            int32_t delayMs) {
  QueuedInput input;
  input.bytes = bytes;
  input.length = static_cast<uint8_t>(length);
  input.readyTick = NowTicks() + std::max<int32_t>(delayMs, 0);
  // A device sends its reports in order: nothing overtakes a late one.
  if (!slot.input.empty()) input.readyTick = std::max(input.readyTick, slot.input.back().readyTick);
  slot.input.push_back(input);
}

}  // namespace sim
