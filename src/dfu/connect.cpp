#include "dfu/connect.h"

#include "console/console.h"
#include "console/output.h"
#include "device/device_search.h"
#include "device/hid_link.h"
#include "dfu/rom_packets.h"
#include "platform/ticks.h"

namespace {

// A chip that has just reset needs a moment before it is back on the bus.
constexpr int32_t kAttemptPauseMs = 400;
// Stale input is discarded for at least this long after a good probe.
constexpr int32_t kDrainMs = 50;

// Claims, opens and probes one candidate; leaves it open only when the
// bootloader answered.
bool TryConnect(const DeviceEntry& entry) {
  if (!entry.path) return false;
  const char* path = entry.path->c_str();
  if (!theHidLink.ClaimDevice(path)) return false;
  if (!theHidLink.OpenDevice(path)) return false;
  if (RomProbe()) return true;
  theHidLink.Close();
  return false;
}

// The first candidate in list order that answers the probe, or nullptr.
const DeviceEntry* ConnectFirstAnswering() {
  const int32_t found = EnumerateDevices();
  for (int32_t i = 0; i < found && i < theDeviceSearch.count(); ++i) {
    const DeviceEntry& entry = theDeviceSearch.entries[static_cast<size_t>(i)];
    if (TryConnect(entry)) return &entry;
  }
  return nullptr;
}

}  // namespace

int32_t ConnectDevice(bool wait) {
  do {
    SleepTicks(kAttemptPauseMs);
    if (const DeviceEntry* connected = ConnectFirstAnswering()) {
      // Input the device queued before or right after the probe echo would
      // otherwise be read as the reply to the job's first command.
      theHidLink.DrainInput(kDrainMs);
      PrintConnectMessage(wait, connected->description);
      return 1;
    }
  } while (wait);
  return 0;
}

void PrintConnectMessage(bool wait, const std::string& description) {
  if (!LogMode) return;
  const std::string lead =
      wait ? Localized(": Wait to connect to the device: \"", "：等待连接到设备：\"")
           : Localized(": Query connected device: \"", "：查询连接到设备：\"");
  PrintStatusLine(false, false, false, lead + description + "\"");
}
