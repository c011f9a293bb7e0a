// Everything a job works with. Its caller owns every part: the console tool
// passes its own link, search and clock; a library caller, a station worker
// or a test passes objects of its own, so several jobs run side by side.
#pragma once

#include <atomic>
#include <cstdint>

#include "device/device_search.h"
#include "device/hid_link.h"
#include "dfu/job_observer.h"
#include "platform/ticks.h"

struct JobContext {
  DeviceLink& link;
  DeviceSearch& search;
  TickSource& clock;
  JobObserver& observer;
  // Set from any thread to stop the job: it stops before its next packet
  // (or at the end of the current pause of the connect step), sends no
  // restart, and fails with the reason. nullptr: the job cannot be stopped.
  const std::atomic<bool>* cancel = nullptr;

  bool Cancelled() const { return cancel != nullptr && cancel->load(); }
  // Sleeps ms on the clock; in short slices when the job can be stopped, so
  // that a stop ends a pause soon. False when the job was stopped.
  bool Pause(int32_t ms);
};
