// The hidapi functions the tool calls, over WebHID; a call the tool does not
// make is left out, so that a new one shows when the module is linked. The
// work is done by the page's transport (js/hid-transport.js, handed to the
// module as Module.hidTransport): it keeps the devices, frames the reports
// and queues input reports per device. Here they only take hidapi's shape:
// C strings, wide strings, the enumeration list and the handle. The calls
// that wait (open, write, read, close, listing) await the transport's
// promises through Asyncify, so the tool's synchronous stop-and-wait code
// runs unchanged.
#include <emscripten.h>
#include <hidapi.h>

#include <cstdint>
#include <new>

struct hid_device_ {
  int handle = -1;
  wchar_t error[128] = L"Success";
};

namespace {

// Enumeration entries are listed in JavaScript, then copied field by field.
// The field numbers are those of js/hid-transport.js.
enum EntryText { kPathText = 0, kManufacturerText = 1, kProductText = 2 };
enum EntryNumber { kVendorId = 0, kProductId = 1, kReleaseNumber = 2, kUsagePage = 3, kUsage = 4 };

// Lists the devices the page may use; returns their number.
EM_ASYNC_JS(int, TransportList, (), { return await Module.hidTransport.list(); });

// Text fields as UTF-8 (path) or UTF-32 (the wide strings); the byte count
// written, terminator included; 0 for a field the device does not have.
EM_JS(int, TransportEntryTextSize, (int index, int field, int wide), {
  const text = Module.hidTransport.entryText(index, field);
  if (text === null) return 0;
  return wide ? (text.length + 1) * 4 : lengthBytesUTF8(text) + 1;
});
EM_JS(void, TransportEntryText, (int index, int field, int wide, char* out, int size), {
  const text = Module.hidTransport.entryText(index, field);
  if (wide) {
    stringToUTF32(text, out, size);
  } else {
    stringToUTF8(text, out, size);
  }
});
EM_JS(int, TransportEntryNumber, (int index, int field), {
  return Module.hidTransport.entryNumber(index, field);
});

// A handle number, or -1.
EM_ASYNC_JS(int, TransportOpen, (const char* path), {
  return await Module.hidTransport.open(UTF8ToString(path));
});
// hidapi's report layout: data[0] is the report ID.
EM_ASYNC_JS(int, TransportWrite, (int handle, const uint8_t* data, int length), {
  return await Module.hidTransport.write(handle, HEAPU8.slice(data, data + length));
});
// Bytes copied, 0 when nothing came in time, -1 when the device is gone.
EM_ASYNC_JS(int, TransportRead, (int handle, uint8_t* data, int length, int milliseconds), {
  const report = await Module.hidTransport.read(handle, milliseconds);
  if (report === null) return 0;
  if (report === undefined) return -1;
  const count = Math.min(length, report.length);
  HEAPU8.set(report.subarray(0, count), data);
  return count;
});
EM_ASYNC_JS(void, TransportClose, (int handle), {
  await Module.hidTransport.close(handle);
});
EM_JS(void, TransportError, (int handle, wchar_t* out, int size), {
  stringToUTF32(Module.hidTransport.lastError(handle), out, size);
});

wchar_t openError[128] = L"Success";

template <typename Char>
Char* CopyEntryText(int index, EntryText field) {
  const bool wide = sizeof(Char) != 1;
  const int size = TransportEntryTextSize(index, field, wide ? 1 : 0);
  if (size == 0) return nullptr;
  Char* text = new (std::nothrow) Char[static_cast<size_t>(size) / sizeof(Char)];
  if (text != nullptr) TransportEntryText(index, field, wide ? 1 : 0, reinterpret_cast<char*>(text), size);
  return text;
}

hid_device_info* NewEntry(int index) {
  hid_device_info* entry = new (std::nothrow) hid_device_info{};
  if (entry == nullptr) return nullptr;
  entry->path = CopyEntryText<char>(index, kPathText);
  entry->vendor_id = static_cast<unsigned short>(TransportEntryNumber(index, kVendorId));
  entry->product_id = static_cast<unsigned short>(TransportEntryNumber(index, kProductId));
  entry->release_number = static_cast<unsigned short>(TransportEntryNumber(index, kReleaseNumber));
  entry->manufacturer_string = CopyEntryText<wchar_t>(index, kManufacturerText);
  entry->product_string = CopyEntryText<wchar_t>(index, kProductText);
  entry->usage_page = static_cast<unsigned short>(TransportEntryNumber(index, kUsagePage));
  entry->usage = static_cast<unsigned short>(TransportEntryNumber(index, kUsage));
  // WebHID tells neither the interface number nor the bus.
  entry->interface_number = -1;
  entry->bus_type = HID_API_BUS_UNKNOWN;
  return entry;
}

bool Matches(const hid_device_info& entry, unsigned short vendorId, unsigned short productId) {
  return (vendorId == 0 || vendorId == entry.vendor_id) &&
         (productId == 0 || productId == entry.product_id);
}

}  // namespace

extern "C" {

struct hid_device_info HID_API_EXPORT* HID_API_CALL hid_enumerate(unsigned short vendor_id,
                                                                  unsigned short product_id) {
  hid_device_info* head = nullptr;
  hid_device_info** tail = &head;
  const int count = TransportList();
  for (int i = 0; i < count; ++i) {
    hid_device_info* entry = NewEntry(i);
    if (entry == nullptr) continue;
    if (!Matches(*entry, vendor_id, product_id)) {
      hid_free_enumeration(entry);
      continue;
    }
    *tail = entry;
    tail = &entry->next;
  }
  return head;
}

void HID_API_EXPORT HID_API_CALL hid_free_enumeration(struct hid_device_info* devs) {
  while (devs != nullptr) {
    hid_device_info* next = devs->next;
    delete[] devs->path;
    delete[] devs->manufacturer_string;
    delete[] devs->product_string;
    delete devs;
    devs = next;
  }
}

HID_API_EXPORT hid_device* HID_API_CALL hid_open_path(const char* path) {
  if (path == nullptr) return nullptr;
  const int handle = TransportOpen(path);
  if (handle < 0) {
    TransportError(-1, openError, sizeof openError);
    return nullptr;
  }
  hid_device* dev = new (std::nothrow) hid_device{};
  if (dev == nullptr) {
    TransportClose(handle);
    return nullptr;
  }
  dev->handle = handle;
  return dev;
}

int HID_API_EXPORT HID_API_CALL hid_write(hid_device* dev, const unsigned char* data,
                                          size_t length) {
  if (dev == nullptr || data == nullptr || length == 0) return -1;
  const int written = TransportWrite(dev->handle, data, static_cast<int>(length));
  if (written < 0) TransportError(dev->handle, dev->error, sizeof dev->error);
  return written;
}

int HID_API_EXPORT HID_API_CALL hid_read_timeout(hid_device* dev, unsigned char* data,
                                                 size_t length, int milliseconds) {
  if (dev == nullptr || data == nullptr) return -1;
  const int read = TransportRead(dev->handle, data, static_cast<int>(length), milliseconds);
  if (read < 0) TransportError(dev->handle, dev->error, sizeof dev->error);
  return read;
}

void HID_API_EXPORT HID_API_CALL hid_close(hid_device* dev) {
  if (dev == nullptr) return;
  TransportClose(dev->handle);
  delete dev;
}

HID_API_EXPORT const wchar_t* HID_API_CALL hid_error(hid_device* dev) {
  return dev != nullptr ? dev->error : openError;
}

}  // extern "C"
