// Listing the HID interfaces that may be the bootloader, and naming them.
#include "device/device_search.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>

#include "common/ascii_case.h"
#include "platform/platform.h"

namespace {

// Descriptions follow the HID hardware-ID form, whose parts are kept short.
constexpr size_t kDescriptionLimit = 256;

// marker plus the two characters that follow it in the path, as they stand.
void AppendPathMarker(std::string& out, std::string_view path, std::string_view marker) {
  const size_t at = FindIgnoringAsciiCase(path, marker);
  if (at == std::string_view::npos) return;
  out.append(marker);
  out.append(path.substr(at + marker.size(), 2));
}

bool IsControlCharacter(wchar_t c) {
  const auto code = static_cast<uint32_t>(c);
  return code < 0x20 || (code >= 0x7F && code <= 0x9F);
}

}  // namespace

std::mutex& HidLibraryLock() {
  static std::mutex lock;
  return lock;
}

std::string DeviceText(const wchar_t* text) {
  if (text == nullptr) return std::string();
  std::wstring shown(text);
  std::replace_if(shown.begin(), shown.end(), IsControlCharacter, L'?');
  return platform::WideToUtf8(shown.c_str());
}

std::string FormatDeviceDescription(const hid_device_info& info) {
  std::string out;
  if (info.manufacturer_string != nullptr) {
    const std::string maker = DeviceText(info.manufacturer_string);
    if (maker.size() + 1 < kDescriptionLimit) {
      out = maker;
      if (!maker.empty()) out.push_back(' ');
    }
  }
  if (info.product_string != nullptr) {
    const std::string product = DeviceText(info.product_string);
    if (product.size() + 1 < kDescriptionLimit - out.size()) out += product;
  }
  if (out.size() + 5 < kDescriptionLimit) out += "(HID\\";

  char ids[64];
  std::snprintf(ids, sizeof ids, "VID_%.4X&PID_%.4X&REV_%.4X",
                static_cast<unsigned>(info.vendor_id), static_cast<unsigned>(info.product_id),
                static_cast<unsigned>(info.release_number));
  out += ids;

  const std::string_view path = info.path != nullptr ? info.path : "";
  AppendPathMarker(out, path, "&MI_");
  AppendPathMarker(out, path, "&Col");
  if (out.size() + 1 < kDescriptionLimit) out.push_back(')');
  return out;
}

void RequestDeviceRescan(TickSource& clock, int32_t delayMs) {
  if (delayMs <= 0) return;
  platform::RequestDeviceTreeRescan();
  // The rescan runs on its own; a chip that just reset into its bootloader
  // needs this long to show up as a new device.
  clock.Sleep(delayMs);
}

int32_t EnumerateDevices(DeviceSearch& search, TickSource& clock) {
  RequestDeviceRescan(clock, RescanSettleMs);

  std::vector<DeviceEntry> found;
  {
    std::lock_guard<std::mutex> hold(HidLibraryLock());
    hid_device_info* list = hid_enumerate(search.vendor_id, search.product_id);
    for (const hid_device_info* info = list; info != nullptr; info = info->next) {
      if (search.interface_number >= 0 && info->interface_number != search.interface_number) {
        continue;
      }
      DeviceEntry entry;
      entry.description = FormatDeviceDescription(*info);
      if (info->path != nullptr && info->path[0] != '\0') entry.path = std::string(info->path);
      entry.serial = DeviceText(info->serial_number);
      found.push_back(std::move(entry));
    }
    hid_free_enumeration(list);
  }
  // Outside the lock: the lookup reads the file system.
  for (DeviceEntry& entry : found) {
    if (entry.path) entry.location = search.locationOf(*entry.path);
  }
  search.entries = std::move(found);
  return search.count();
}

bool SelectorNames(const std::string& selector, const DeviceEntry& entry) {
  if (selector.empty()) return true;
  return (entry.path && *entry.path == selector) || (!entry.serial.empty() && entry.serial == selector) ||
         (!entry.location.empty() && entry.location == selector);
}
