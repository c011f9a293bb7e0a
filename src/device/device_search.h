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
};

struct DeviceSearch {
  uint16_t vendor_id = 0;     // 0: any vendor
  uint16_t product_id = 0;    // 0: any product
  int32_t interface_number = -1;  // negative: any interface
  std::vector<DeviceEntry> entries;
  int32_t count() const { return static_cast<int32_t>(entries.size()); }
};

extern DeviceSearch theDeviceSearch;

int32_t EnumerateDevices();
void RequestDeviceRescan(int32_t delayMs);
std::string FormatDeviceDescription(const hid_device_info& info);
// A device's own text (manufacturer, product, serial number) in the console's
// encoding, with control characters shown as '?': any USB device can send
// them, and they must not reach the terminal.
std::string DeviceText(const wchar_t* text);
