// Finding, claiming, opening and probing the bootloader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/reason.h"
#include "device/device_search.h"
#include "dfu/job_context.h"
#include "options/dfu_options.h"

// 1: a device answered and is open on context.link; 0: none. Query mode makes
// one attempt; wait mode tries until a device connects, or, with timeoutMs
// above 0, until an attempt ends timeoutMs or more after the call began (the
// last one starts by then), or until the job is stopped.
// Only the interfaces context.search.selector names are candidates, and a
// selector that names several is refused at once.
// why, when given, receives why no interface could be used, or which of
// several was (a note). Wait mode says at once (through the observer) that
// it waits, and why an interface is skipped the first time it is.
int32_t ConnectDevice(JobContext& context, bool wait, Reasons* why = nullptr, int32_t timeoutMs = 0);

// The settings' device identity and --device, into the search.
void CopyDeviceSettingsToSearch(const DfuSettings& settings, DeviceSearch& search);

// The product ID looked for, "0xC081".
std::string ProductIdText(const DeviceSearch& search);

// What became of one interface that was claimed, opened and probed.
enum class CandidateState {
  Answered,  // it answered the probe and is open on the link, claimed
  Busy,      // another running orvel-dfu holds its claim: not opened
  NoAccess,  // it cannot be opened
  Silent,    // opened, but gave no right answer to the probe; let go again
};

// Claims, opens and probes one interface as the connect step does; when it
// answered, drains its stale input and tells the observer, and the device
// stays open and claimed on context.link. A station serves each board it
// sees this way.
CandidateState ConnectTo(JobContext& context, const DeviceEntry& entry, Reasons* why);

// The word for a state, the same in every language: free, busy, no-access,
// silent.
const char* StateWord(CandidateState state);

// One interface as a listing shows it, with why it cannot be opened.
struct ListedDevice {
  DeviceEntry entry;
  CandidateState state = CandidateState::Silent;
  Reasons why;
};

// Every bootloader interface the settings' identity and --device select,
// each claimed, opened and probed as the connect step does, then let go.
std::vector<ListedDevice> ListBootloaders(DeviceLink& link, DeviceSearch& search, TickSource& clock,
                                          const DfuSettings& settings);
