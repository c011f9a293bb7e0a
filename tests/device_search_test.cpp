// Device descriptions and enumeration over the virtual HID bus.
#include "device/device_search.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ticks.h"
#include "virtual_hid_bus.h"

namespace {

struct DescriptionCase {
  const char* name;
  const wchar_t* manufacturer;
  const wchar_t* product;
  uint16_t vendorId;
  uint16_t release;
  const char* path;
  std::string expected;
};

hid_device_info InfoFor(const DescriptionCase& c) {
  hid_device_info info{};
  info.path = const_cast<char*>(c.path);
  info.vendor_id = c.vendorId;
  info.product_id = 0xC081;
  info.release_number = c.release;
  info.manufacturer_string = const_cast<wchar_t*>(c.manufacturer);
  info.product_string = const_cast<wchar_t*>(c.product);
  return info;
}

TEST(FormatDeviceDescription, BuildsTheHardwareIdForm) {
  const DescriptionCase cases[] = {
      {"maker, product and both markers", L"Maker", L"Loader", 0x1234, 0x0100,
       "\\\\?\\hid#vid_1234&pid_c081&mi_00&col01#7&1a2b&0&0000",
       "Maker Loader(HID\\VID_1234&PID_C081&REV_0100&MI_00&Col01)"},
      {"no strings, no markers", nullptr, nullptr, 0x1234, 0x0100, "/dev/hidraw0",
       "(HID\\VID_1234&PID_C081&REV_0100)"},
      {"maker only keeps its blank", L"Maker", nullptr, 0x1234, 0x0100, "/dev/hidraw0",
       "Maker (HID\\VID_1234&PID_C081&REV_0100)"},
      {"empty maker adds no blank", L"", L"Loader", 0x1234, 0x0100, "/dev/hidraw0",
       "Loader(HID\\VID_1234&PID_C081&REV_0100)"},
      {"small numbers get four digits", nullptr, nullptr, 0x0001, 0x0002, "/dev/hidraw0",
       "(HID\\VID_0001&PID_C081&REV_0002)"},
      {"marker digits as they stand", nullptr, nullptr, 0xABCD, 0x0100,
       "\\\\?\\HID#VID_ABCD&PID_C081&Mi_0a&COL0B#x",
       "(HID\\VID_ABCD&PID_C081&REV_0100&MI_0a&Col0B)"},
      {"no path", L"Maker", L"Loader", 0x1234, 0x0100, nullptr,
       "Maker Loader(HID\\VID_1234&PID_C081&REV_0100)"},
      {"control characters replaced", L"Ev\x1b[2Jil\n", L"Lo\x7f\x9b" L"ader", 0x1234, 0x0100,
       "/dev/hidraw0", "Ev?[2Jil? Lo??ader(HID\\VID_1234&PID_C081&REV_0100)"},
  };
  for (const DescriptionCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FormatDeviceDescription(InfoFor(c)), c.expected);
  }
}

TEST(FormatDeviceDescription, DropsPartsThatWouldPassTheLengthLimit) {
  const std::wstring maker254(254, L'M');
  const std::wstring maker255(255, L'M');
  const std::wstring product254(254, L'P');
  const std::string ids = "VID_1234&PID_C081&REV_0100";
  const DescriptionCase cases[] = {
      // 254 bytes and a blank fill the limit: nothing conditional fits after.
      {"longest maker", maker254.c_str(), L"P", 0x1234, 0x0100, "/dev/hidraw0",
       std::string(254, 'M') + " " + ids},
      {"maker too long", maker255.c_str(), nullptr, 0x1234, 0x0100, "/dev/hidraw0",
       "(HID\\" + ids + ")"},
      {"longest product", nullptr, product254.c_str(), 0x1234, 0x0100, "/dev/hidraw0",
       std::string(254, 'P') + ids},
  };
  for (const DescriptionCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FormatDeviceDescription(InfoFor(c)), c.expected);
  }
}

// The console writes them in its own encoding; a library caller gets UTF-8.
TEST(FormatDeviceDescription, KeepsTheDevicesTextAsUtf8) {
  const DescriptionCase chinese = {"", L"\u4E2D\u6587", nullptr, 0x1234, 0x0100, "/dev/hidraw0",
                                   ""};
  EXPECT_EQ(FormatDeviceDescription(InfoFor(chinese)), "\xE4\xB8\xAD\xE6\x96\x87 (HID\\VID_1234&PID_C081&REV_0100)");
}

class EnumerateDevicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bus().Reset();
    SetTickSource(&clock);
    AddDevice("/dev/hidraw-e0", 0xC081, 0, L"Orvel", L"Boot");
    AddDevice("/dev/hidraw-e1", 0x1111, 0, L"Other", L"Mouse");
    AddDevice("\\\\?\\hid#vid_1234&pid_c081&mi_01&col02#e2", 0xC081, 1, L"", L"");
    AddDevice("", 0xC081, 2, L"Orvel", L"");
  }
  void TearDown() override {
    SetTickSource(nullptr);
    bus().Reset();
  }

  static sim::VirtualHidBus& bus() { return sim::VirtualHidBus::Instance(); }

  static void AddDevice(const std::string& path, uint16_t productId, int interfaceNumber,
                        const std::wstring& manufacturer, const std::wstring& product) {
    sim::VirtualDeviceSetup setup;
    setup.path = path;
    setup.productId = productId;
    setup.interfaceNumber = interfaceNumber;
    setup.manufacturer = manufacturer;
    setup.product = product;
    bus().AddDevice(setup);
  }

  std::vector<std::string> Listed() const {
    std::vector<std::string> listed;
    for (const DeviceEntry& entry : search.entries) {
      listed.push_back(entry.description + " @ " + entry.path.value_or("<none>"));
    }
    return listed;
  }

  sim::VirtualClock clock;
  DeviceSearch search;
};

struct FilterCase {
  const char* name;
  uint16_t vendorId;
  uint16_t productId;
  int32_t interfaceNumber;
  std::vector<std::string> listed;
};

TEST_F(EnumerateDevicesTest, ListsMatchingInterfacesInBusOrder) {
  const std::string boot = "Orvel Boot(HID\\VID_1234&PID_C081&REV_0100) @ /dev/hidraw-e0";
  const std::string mouse = "Other Mouse(HID\\VID_1234&PID_1111&REV_0100) @ /dev/hidraw-e1";
  const std::string second =
      "(HID\\VID_1234&PID_C081&REV_0100&MI_01&Col02) @ \\\\?\\hid#vid_1234&pid_c081&mi_01&col02#e2";
  const std::string pathless = "Orvel (HID\\VID_1234&PID_C081&REV_0100) @ <none>";
  const FilterCase cases[] = {
      {"bootloader, any interface", 0, 0xC081, -1, {boot, second, pathless}},
      {"interface 1 only", 0, 0xC081, 1, {second}},
      {"any product", 0, 0, -1, {boot, mouse, second, pathless}},
      {"vendor and product", 0x1234, 0x1111, -1, {mouse}},
      {"other vendor", 0x9999, 0xC081, -1, {}},
  };
  for (const FilterCase& c : cases) {
    SCOPED_TRACE(c.name);
    search.vendor_id = c.vendorId;
    search.product_id = c.productId;
    search.interface_number = c.interfaceNumber;
    const int32_t before = clock.Now();

    EXPECT_EQ(EnumerateDevices(search, clock), static_cast<int32_t>(c.listed.size()));

    EXPECT_EQ(Listed(), c.listed);
    EXPECT_EQ(search.count(), static_cast<int32_t>(c.listed.size()));
    EXPECT_EQ(clock.Now() - before, RescanSettleMs);
  }
}

TEST_F(EnumerateDevicesTest, EmptyBusClearsTheLastList) {
  search.product_id = 0xC081;
  ASSERT_EQ(EnumerateDevices(search, clock), 3);
  bus().Reset();

  EXPECT_EQ(EnumerateDevices(search, clock), 0);
  EXPECT_TRUE(search.entries.empty());
}

TEST_F(EnumerateDevicesTest, RescanWaitsOnlyForAPositiveDelay) {
  const int32_t delays[] = {0, -5, 1, 350};
  for (int32_t delay : delays) {
    SCOPED_TRACE(delay);
    const int32_t before = clock.Now();
    RequestDeviceRescan(clock, delay);
    EXPECT_EQ(clock.Now() - before, delay > 0 ? delay : 0);
  }
}

}  // namespace
