// The virtual bootloader model, for the page's virtual chip and the browser
// tests: js/virtual-chip.js wraps each model in a WebHID-shaped device.
#include <emscripten.h>

#include <memory>
#include <string>
#include <vector>

#include "sim_options.h"
#include "virtual_bootloader.h"

namespace {

struct Chip {
  explicit Chip(uint32_t flashSize) : model(flashSize) {}
  sim::VirtualBootloader model;
  sim::HandleResult lastResult;
};

std::vector<std::unique_ptr<Chip>> chips;
sim::Report reportBuffer{};

Chip* ChipAt(int id) {
  if (id < 0 || static_cast<size_t>(id) >= chips.size()) return nullptr;
  return chips[static_cast<size_t>(id)].get();
}

const sim::Reply* ReplyAt(int id, int index) {
  Chip* chip = ChipAt(id);
  if (chip == nullptr || index < 0 ||
      static_cast<size_t>(index) >= chip->lastResult.replies.size()) {
    return nullptr;
  }
  return &chip->lastResult.replies[static_cast<size_t>(index)];
}

}  // namespace

extern "C" {

// A chip with erased flash of flashSize bytes; returns its id.
EMSCRIPTEN_KEEPALIVE int chip_create(uint32_t flashSize) {
  chips.push_back(std::make_unique<Chip>(flashSize));
  return static_cast<int>(chips.size()) - 1;
}

EMSCRIPTEN_KEEPALIVE void chip_destroy(int id) {
  if (ChipAt(id) != nullptr) chips[static_cast<size_t>(id)].reset();
}

// A fault written as orvel-sim's --fault takes it, without the device:
// "read:1:silent", "data:20:unplug", "start:1:delay=1500". 1 when taken.
EMSCRIPTEN_KEEPALIVE int chip_add_fault(int id, const char* faultText) {
  Chip* chip = ChipAt(id);
  orvel_sim::DeviceFault fault;
  if (chip == nullptr || !orvel_sim::ParseFaultSpec(std::string("0:") + faultText, fault)) return 0;
  chip->model.AddFault(fault.fault);
  return 1;
}

EMSCRIPTEN_KEEPALIVE void chip_set_silent(int id, int silent) {
  if (Chip* chip = ChipAt(id)) chip->model.SetSilent(silent != 0);
}

// Where the page puts the 64 bytes of an output report for chip_handle_report.
EMSCRIPTEN_KEEPALIVE uint8_t* chip_report_buffer() { return reportBuffer.data(); }

// Hands the report in chip_report_buffer to the chip. The number of input
// reports it answers with, or -1 when the write fails (unplugged).
EMSCRIPTEN_KEEPALIVE int chip_handle_report(int id) {
  Chip* chip = ChipAt(id);
  if (chip == nullptr) return -1;
  chip->model.HandleReport(reportBuffer, chip->lastResult);
  return chip->lastResult.accepted ? static_cast<int>(chip->lastResult.replies.size()) : -1;
}

// The 64 bytes of the index-th answer to the last report.
EMSCRIPTEN_KEEPALIVE const uint8_t* chip_reply_bytes(int id, int index) {
  const sim::Reply* reply = ReplyAt(id, index);
  return reply != nullptr ? reply->bytes.data() : nullptr;
}

EMSCRIPTEN_KEEPALIVE int chip_reply_delay(int id, int index) {
  const sim::Reply* reply = ReplyAt(id, index);
  return reply != nullptr ? reply->delayMs : 0;
}

EMSCRIPTEN_KEEPALIVE uint8_t* chip_flash(int id) {
  Chip* chip = ChipAt(id);
  return chip != nullptr ? chip->model.flash().data() : nullptr;
}

EMSCRIPTEN_KEEPALIVE uint32_t chip_flash_size(int id) {
  Chip* chip = ChipAt(id);
  return chip != nullptr ? chip->model.flashSize() : 0;
}

EMSCRIPTEN_KEEPALIVE int chip_restarted(int id) {
  Chip* chip = ChipAt(id);
  return chip != nullptr && chip->model.restarted() ? 1 : 0;
}

EMSCRIPTEN_KEEPALIVE int chip_unplugged(int id) {
  Chip* chip = ChipAt(id);
  return chip != nullptr && chip->model.unplugged() ? 1 : 0;
}

// Requests of one kind the chip received: 0 probe, 1 erase, 2 start, 3 data,
// 4 read, 5 restart, 6 other.
EMSCRIPTEN_KEEPALIVE int chip_request_count(int id, int kind) {
  Chip* chip = ChipAt(id);
  if (chip == nullptr) return 0;
  int count = 0;
  for (const auto& request : chip->model.trace()) {
    if (static_cast<int>(request.kind) == kind) ++count;
  }
  return count;
}

}  // extern "C"
