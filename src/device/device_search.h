// What to look for on the USB bus, and what the last look found.
#pragma once

#include <hidapi.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

constexpr int32_t RescanSettleMs = 200;

struct DeviceEntry {
  std::string description;
  std::optional<std::string> path;  // none when the HID library gave none
  std::string serial;               // in the console's encoding; empty when none
  std::string location;             // USB location ("1-2.3"); empty when unknown
};

struct DeviceSearch {
  uint16_t vendor_id = 0;     // 0: any vendor
  uint16_t product_id = 0;    // 0: any product
  int32_t interface_number = -1;  // negative: any interface
  // Only the interfaces whose path, serial number or USB location equals it
  // are candidates; empty: any.
  std::string selector;
  std::vector<DeviceEntry> entries;
  int32_t count() const { return static_cast<int32_t>(entries.size()); }
};

extern DeviceSearch theDeviceSearch;

int32_t EnumerateDevices();
// True when the selector is empty or names the entry.
bool SelectorNames(const std::string& selector, const DeviceEntry& entry);

// How EnumerateDevices learns an interface's USB location from its path:
// the platform's answer (platform::UsbLocationOf) unless a test replaces it
// (devices on the in-process bus have no sysfs). nullptr restores it.
using UsbLocationLookup = std::string (*)(const std::string& path);
void SetUsbLocationLookup(UsbLocationLookup lookup);
void RequestDeviceRescan(int32_t delayMs);
std::string FormatDeviceDescription(const hid_device_info& info);
// A device's own text (manufacturer, product, serial number) in the console's
// encoding, with control characters shown as '?': any USB device can send
// them, and they must not reach the terminal.
std::string DeviceText(const wchar_t* text);
