// What the real hidapi sees under orvel-sim: one line per interface with
// product ID 0xC081, in hidapi's order,
//   PATH<TAB>SERIAL<TAB>opened
// or, when it cannot be opened, hid_error(NULL) in place of "opened".
#include <hidapi.h>

#include <cstdio>
#include <string>

namespace {

// hidapi's texts here are ASCII; anything else shows as '?'.
std::string Narrow(const wchar_t* text) {
  std::string narrow;
  for (; text != nullptr && *text != L'\0'; ++text) {
    narrow.push_back(*text > 0 && *text < 0x80 ? static_cast<char>(*text) : '?');
  }
  return narrow;
}

}  // namespace

int main() {
  if (hid_init() != 0) return 1;
  hid_device_info* list = hid_enumerate(0, 0xC081);
  for (const hid_device_info* entry = list; entry != nullptr; entry = entry->next) {
    hid_device* device = hid_open_path(entry->path);
    const std::string outcome = device != nullptr ? "opened" : Narrow(hid_error(nullptr));
    if (device != nullptr) hid_close(device);
    std::printf("%s\t%s\t%s\n", entry->path,
                entry->serial_number ? Narrow(entry->serial_number).c_str() : "-",
                outcome.c_str());
  }
  hid_free_enumeration(list);
  hid_exit();
  return 0;
}
