// What to look for on the USB bus, and what the last look found.
#pragma once

#include <hidapi.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/ticks.h"

constexpr int32_t RescanSettleMs = 200;

// One interface found. Texts are UTF-8: the console writes them in its own
// encoding, a library caller gets them as they are.
struct DeviceEntry {
  std::string description;
  std::optional<std::string> path;  // none when the HID library gave none
  std::string serial;               // empty when none
  std::string location;             // USB location ("1-2.3"); empty when unknown
};

// How an interface's USB location is learnt from its path.
using UsbLocationLookup = std::string (*)(const std::string& path);

struct DeviceSearch {
  uint16_t vendor_id = 0;     // 0: any vendor
  uint16_t product_id = 0;    // 0: any product
  int32_t interface_number = -1;  // negative: any interface
  // Only the interfaces whose path, serial number or USB location equals it
  // are candidates; empty: any.
  std::string selector;
  std::vector<DeviceEntry> entries;
  // The platform's answer, unless a test gives another (devices on the
  // in-process bus have no sysfs).
  UsbLocationLookup locationOf = platform::UsbLocationOf;
  int32_t count() const { return static_cast<int32_t>(entries.size()); }
};

// Asks for a rescan, waits for it on the clock, and lists the matching
// interfaces into search.entries. Returns how many there are.
int32_t EnumerateDevices(DeviceSearch& search, TickSource& clock);
// True when the selector is empty or names the entry: its whole path, serial
// number or USB location, never a part of one.
bool SelectorNames(const std::string& selector, const DeviceEntry& entry);
void RequestDeviceRescan(TickSource& clock, int32_t delayMs);
std::string FormatDeviceDescription(const hid_device_info& info);
// A device's own text (manufacturer, product, serial number) as UTF-8, with
// control characters shown as '?': any USB device can send them, and they
// must not reach a terminal.
std::string DeviceText(const wchar_t* text);

// The HID library keeps process-wide state (its initialisation, the error
// text of a failed open): every listing and opening, and reading that text,
// happens under this lock, so jobs on several threads never meet there.
std::mutex& HidLibraryLock();
