// The hidapi functions, answered by the virtual bus instead of the system's
// HID devices. Linked into the test build of the tool in place of hidapi.
#include <hidapi.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>

#include "virtual_hid_bus.h"

struct hid_device_ {
  int index = -1;
  int handle = -1;  // the bus's handle: this handle's own input queue
  uint64_t generation = 0;
  bool nonblocking = false;
};

namespace {

// Like hidapi's own, the text of the last failure; one per thread, so that
// jobs on several threads never read each other's.
thread_local const wchar_t* lastError = L"Success";

sim::VirtualHidBus& Bus() { return sim::VirtualHidBus::Instance(); }

// The handle's device index, or -1 when the handle predates a bus Reset.
int DeviceOf(const hid_device* dev) {
  if (dev == nullptr || dev->generation != Bus().generation()) return -1;
  return dev->index;
}

char* CopyText(const std::string& text) {
  char* copy = new (std::nothrow) char[text.size() + 1];
  if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

wchar_t* CopyWide(const std::wstring& text) {
  wchar_t* copy = new (std::nothrow) wchar_t[text.size() + 1];
  if (copy != nullptr) std::wmemcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

void FreeEntry(hid_device_info* entry) {
  delete[] entry->path;
  delete[] entry->serial_number;
  delete[] entry->manufacturer_string;
  delete[] entry->product_string;
  delete entry;
}

hid_device_info* NewEntry(const sim::VirtualDeviceSetup& setup) {
  hid_device_info* entry = new (std::nothrow) hid_device_info{};
  if (entry == nullptr) return nullptr;
  entry->path = CopyText(setup.path);
  entry->vendor_id = setup.vendorId;
  entry->product_id = setup.productId;
  entry->serial_number = setup.serial.empty() ? nullptr : CopyWide(setup.serial);
  entry->release_number = setup.release;
  entry->manufacturer_string = CopyWide(setup.manufacturer);
  entry->product_string = CopyWide(setup.product);
  entry->usage_page = 0xFF00;  // vendor-defined, as a bootloader's interface is
  entry->usage = 0x0001;
  entry->interface_number = setup.interfaceNumber;
  entry->next = nullptr;
  entry->bus_type = HID_API_BUS_USB;
  if (entry->path == nullptr || entry->manufacturer_string == nullptr ||
      entry->product_string == nullptr) {
    FreeEntry(entry);
    return nullptr;
  }
  return entry;
}

bool Matches(const sim::VirtualDeviceSetup& setup, unsigned short vendorId,
             unsigned short productId) {
  return (vendorId == 0 || vendorId == setup.vendorId) &&
         (productId == 0 || productId == setup.productId);
}

int CopyString(const std::wstring& text, wchar_t* out, size_t maxlen) {
  if (out == nullptr || maxlen == 0) return -1;
  const size_t count = std::min(text.size(), maxlen - 1);
  std::wmemcpy(out, text.c_str(), count);
  out[count] = L'\0';
  return 0;
}

}  // namespace

extern "C" {

int HID_API_EXPORT HID_API_CALL hid_init(void) { return 0; }

int HID_API_EXPORT HID_API_CALL hid_exit(void) { return 0; }

struct hid_device_info HID_API_EXPORT* HID_API_CALL hid_enumerate(unsigned short vendor_id,
                                                                  unsigned short product_id) {
  sim::VirtualHidBus& bus = Bus();
  hid_device_info* head = nullptr;
  hid_device_info** tail = &head;
  for (int i = 0; i < bus.deviceCount(); ++i) {
    if (!bus.OnBus(i) || !Matches(bus.setup(i), vendor_id, product_id)) continue;
    hid_device_info* entry = NewEntry(bus.setup(i));
    if (entry == nullptr) continue;
    *tail = entry;
    tail = &entry->next;
  }
  // Counted after listing: a device that appears after N enumerations is
  // listed from the (N+1)th on.
  bus.CountEnumeration();
  return head;
}

void HID_API_EXPORT HID_API_CALL hid_free_enumeration(struct hid_device_info* devs) {
  while (devs != nullptr) {
    hid_device_info* next = devs->next;
    FreeEntry(devs);
    devs = next;
  }
}

HID_API_EXPORT hid_device* HID_API_CALL hid_open_path(const char* path) {
  const int index = Bus().FindOpenable(path);
  if (index < 0) {
    lastError = L"No such device";
    return nullptr;
  }
  if (Bus().OpenDenied(index)) {
    thread_local std::wstring denied;
    denied = L"Failed to open a device with path '" + std::wstring(path, path + std::strlen(path)) +
             L"': Permission denied";
    lastError = denied.c_str();
    return nullptr;
  }
  hid_device* dev = new (std::nothrow) hid_device{};
  if (dev == nullptr) return nullptr;
  dev->index = index;
  dev->handle = Bus().OpenHandle(index);
  dev->generation = Bus().generation();
  return dev;
}

HID_API_EXPORT hid_device* HID_API_CALL hid_open(unsigned short vendor_id,
                                                 unsigned short product_id,
                                                 const wchar_t* serial_number) {
  sim::VirtualHidBus& bus = Bus();
  for (int i = 0; i < bus.deviceCount(); ++i) {
    if (bus.OnBus(i) && Matches(bus.setup(i), vendor_id, product_id) &&
        (serial_number == nullptr || bus.setup(i).serial == serial_number)) {
      return hid_open_path(bus.setup(i).path.c_str());
    }
  }
  lastError = L"No such device";
  return nullptr;
}

int HID_API_EXPORT HID_API_CALL hid_write(hid_device* dev, const unsigned char* data,
                                          size_t length) {
  const int index = DeviceOf(dev);
  if (index < 0) return -1;
  const int written = Bus().Write(index, data, length);
  if (written < 0) lastError = L"No such device";
  return written;
}

int HID_API_EXPORT HID_API_CALL hid_read_timeout(hid_device* dev, unsigned char* data,
                                                 size_t length, int milliseconds) {
  if (DeviceOf(dev) < 0 || data == nullptr) return -1;
  const int read = Bus().Read(dev->handle, data, length, milliseconds);
  if (read < 0) lastError = L"No such device";
  return read;
}

int HID_API_EXPORT HID_API_CALL hid_read(hid_device* dev, unsigned char* data, size_t length) {
  const bool nonblocking = dev != nullptr && dev->nonblocking;
  return hid_read_timeout(dev, data, length, nonblocking ? 0 : -1);
}

int HID_API_EXPORT HID_API_CALL hid_set_nonblocking(hid_device* dev, int nonblock) {
  if (DeviceOf(dev) < 0) return -1;
  dev->nonblocking = nonblock != 0;
  return 0;
}

// The bootloader has no feature reports and no numbered input reports.
int HID_API_EXPORT HID_API_CALL hid_send_feature_report(hid_device*, const unsigned char*,
                                                        size_t) {
  return -1;
}

int HID_API_EXPORT HID_API_CALL hid_get_feature_report(hid_device*, unsigned char*, size_t) {
  return -1;
}

int HID_API_EXPORT HID_API_CALL hid_get_input_report(hid_device*, unsigned char*, size_t) {
  return -1;
}

void HID_API_EXPORT HID_API_CALL hid_close(hid_device* dev) {
  if (dev == nullptr) return;
  if (DeviceOf(dev) >= 0) Bus().CloseHandle(dev->handle);
  delete dev;
}

int HID_API_EXPORT_CALL hid_get_manufacturer_string(hid_device* dev, wchar_t* string,
                                                    size_t maxlen) {
  const int index = DeviceOf(dev);
  if (index < 0) return -1;
  return CopyString(Bus().setup(index).manufacturer, string, maxlen);
}

int HID_API_EXPORT_CALL hid_get_product_string(hid_device* dev, wchar_t* string,
                                               size_t maxlen) {
  const int index = DeviceOf(dev);
  if (index < 0) return -1;
  return CopyString(Bus().setup(index).product, string, maxlen);
}

int HID_API_EXPORT_CALL hid_get_serial_number_string(hid_device* dev, wchar_t* string,
                                                     size_t maxlen) {
  const int index = DeviceOf(dev);
  if (index < 0) return -1;
  return CopyString(Bus().setup(index).serial, string, maxlen);
}

int HID_API_EXPORT_CALL hid_get_indexed_string(hid_device*, int, wchar_t*, size_t) {
  return -1;
}

HID_API_EXPORT const wchar_t* HID_API_CALL hid_error(hid_device* dev) {
  if (dev != nullptr && DeviceOf(dev) < 0) return L"Device is gone";
  return lastError;
}

HID_API_EXPORT const struct hid_api_version* HID_API_CALL hid_version(void) {
  static const hid_api_version version = {HID_API_VERSION_MAJOR, HID_API_VERSION_MINOR,
                                           HID_API_VERSION_PATCH};
  return &version;
}

HID_API_EXPORT const char* HID_API_CALL hid_version_str(void) { return HID_API_VERSION_STR; }

}  // extern "C"
