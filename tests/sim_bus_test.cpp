// The hidapi stand-in over the virtual bus: report IDs, one report per read,
// time-outs on the virtual clock, unplugging and enumeration.
#include <gtest/gtest.h>
#include <hidapi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ticks.h"
#include "virtual_hid_bus.h"

namespace {

using Bytes = std::vector<uint8_t>;

class SimBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bus().Reset();
    SetTickSource(&clock_);
    clock_.Sleep(1000);  // start away from 0 so that ticks are not mistaken for offsets
  }
  void TearDown() override {
    for (hid_device* dev : open_) hid_close(dev);
    SetTickSource(nullptr);
    bus().Reset();
  }

  static sim::VirtualHidBus& bus() { return sim::VirtualHidBus::Instance(); }

  hid_device* Open(const std::string& path) {
    hid_device* dev = hid_open_path(path.c_str());
    if (dev != nullptr) open_.push_back(dev);
    return dev;
  }
  void Close(hid_device* dev) {
    for (auto it = open_.begin(); it != open_.end(); ++it) {
      if (*it == dev) {
        open_.erase(it);
        break;
      }
    }
    hid_close(dev);
  }

  // A probe written as the tool writes it: report ID 0, then 64 bytes.
  static Bytes ProbeBuffer() {
    Bytes buffer(65, 0x00);
    buffer[1] = 0x1A;
    buffer[2] = 0x55;
    return buffer;
  }
  static int Write(hid_device* dev, const Bytes& buffer) {
    return hid_write(dev, buffer.data(), buffer.size());
  }

  // Paths of hid_enumerate(vendor, product), in list order.
  static std::vector<std::string> Listed(unsigned short vendor = 0, unsigned short product = 0) {
    std::vector<std::string> paths;
    hid_device_info* list = hid_enumerate(vendor, product);
    for (hid_device_info* entry = list; entry != nullptr; entry = entry->next) {
      paths.push_back(entry->path);
    }
    hid_free_enumeration(list);
    return paths;
  }

  sim::VirtualClock clock_;
  std::vector<hid_device*> open_;
};

sim::VirtualDeviceSetup Device(const std::string& path, uint16_t vendor = 0x1234,
                            uint16_t product = 0xC081) {
  sim::VirtualDeviceSetup setup;
  setup.path = path;
  setup.vendorId = vendor;
  setup.productId = product;
  return setup;
}

TEST_F(SimBusTest, LeadingReportIdZeroIsNotPartOfTheReport) {
  struct IdCase {
    const char* name;
    Bytes buffer;
    Bytes report;  // first bytes the chip saw, zeros after
  };
  Bytes numbered(64, 0x00);
  numbered[0] = 0x1A;
  numbered[1] = 0x55;
  Bytes overlong(70, 0x00);
  overlong[1] = 0x1A;
  overlong[2] = 0x57;
  overlong[3] = 0x01;
  overlong[65] = 0x99;  // beyond the 64-byte report: cut
  const IdCase cases[] = {
      {"report ID 0 and 64 bytes", ProbeBuffer(), {0x1A, 0x55}},
      {"report number is the first byte", numbered, {0x1A, 0x55}},
      {"short buffer is zero-filled", {0x00, 0x1A, 0x60, 0x10}, {0x1A, 0x60, 0x10}},
      {"long buffer is cut", overlong, {0x1A, 0x57, 0x01}},
  };
  for (const IdCase& c : cases) {
    bus().Reset();
    const int index = bus().AddDevice(Device("/dev/hidraw0"));
    hid_device* dev = Open("/dev/hidraw0");
    ASSERT_NE(dev, nullptr) << c.name;
    EXPECT_EQ(Write(dev, c.buffer), static_cast<int>(c.buffer.size())) << c.name;

    ASSERT_EQ(bus().device(index).trace().size(), 1u) << c.name;
    const sim::Report& seen = bus().device(index).trace()[0].report;
    Bytes expected = c.report;
    expected.resize(64, 0x00);
    EXPECT_EQ(Bytes(seen.begin(), seen.end()), expected) << c.name;

    ASSERT_EQ(bus().writes().size(), 1u) << c.name;
    EXPECT_EQ(bus().writes()[0].buffer, c.buffer) << c.name;
    EXPECT_EQ(bus().writes()[0].tick, 1000) << c.name;
    EXPECT_EQ(bus().writes()[0].device, index) << c.name;
    Close(dev);
  }
}

TEST_F(SimBusTest, EachReadReturnsOneReportCutToTheCountAsked) {
  const int index = bus().AddDevice(Device("/dev/hidraw0"));
  bus().device(index).SetNoise(2);
  hid_device* dev = Open("/dev/hidraw0");
  ASSERT_NE(dev, nullptr);
  ASSERT_EQ(Write(dev, ProbeBuffer()), 65);
  EXPECT_EQ(bus().pendingInput(index), 3);

  uint8_t buffer[64] = {};
  EXPECT_EQ(hid_read_timeout(dev, buffer, 2, 0), 2);
  EXPECT_EQ(buffer[0], 0x1A);
  EXPECT_EQ(buffer[1], 0x55);
  EXPECT_EQ(buffer[2], 0x00) << "nothing copied beyond the count";
  EXPECT_EQ(hid_read_timeout(dev, buffer, 64, 0), 64) << "the probe's other 62 bytes are lost";
  EXPECT_EQ(Bytes(buffer, buffer + 64), Bytes(64, 0xEE));
  EXPECT_EQ(hid_read_timeout(dev, buffer, 64, 0), 64);
  EXPECT_EQ(hid_read_timeout(dev, buffer, 64, 0), 0);
  EXPECT_EQ(clock_.Now(), 1000);
}

TEST_F(SimBusTest, ShortInjectedReportReadsShort) {
  const int index = bus().AddDevice(Device("/dev/hidraw0"));
  hid_device* dev = Open("/dev/hidraw0");
  ASSERT_NE(dev, nullptr);
  bus().QueueInput(index, {1, 2, 3, 4, 5});
  uint8_t buffer[64] = {};
  EXPECT_EQ(hid_read_timeout(dev, buffer, 64, 100), 5);
  EXPECT_EQ(Bytes(buffer, buffer + 6), (Bytes{1, 2, 3, 4, 5, 0}));
}

TEST_F(SimBusTest, TimeOutReturnsZeroAfterExactlyTheTimeOnTheVirtualClock) {
  bus().AddDevice(Device("/dev/hidraw0"));
  hid_device* dev = Open("/dev/hidraw0");
  ASSERT_NE(dev, nullptr);
  uint8_t buffer[64];
  for (int ms : {0, 1, 200, 2000}) {
    const int32_t before = clock_.Now();
    EXPECT_EQ(hid_read_timeout(dev, buffer, 64, ms), 0) << ms;
    EXPECT_EQ(clock_.Now() - before, ms) << ms;
  }
  const int32_t before = clock_.Now();
  EXPECT_EQ(hid_read(dev, buffer, 64), 0) << "blocking read with nothing queued";
  EXPECT_EQ(clock_.Now(), before);
}

TEST_F(SimBusTest, DelayedReplyIsReadAtItsReadyTime) {
  const int index = bus().AddDevice(Device("/dev/hidraw0"));
  bus().device(index).AddFault({sim::RequestKind::Probe, 1, sim::FaultEffect::Delay, 300});
  hid_device* dev = Open("/dev/hidraw0");
  ASSERT_NE(dev, nullptr);
  ASSERT_EQ(Write(dev, ProbeBuffer()), 65);

  uint8_t buffer[64] = {};
  EXPECT_EQ(hid_read_timeout(dev, buffer, 64, 200), 0);
  EXPECT_EQ(clock_.Now(), 1200);
  EXPECT_EQ(hid_read_timeout(dev, buffer, 64, 500), 64);
  EXPECT_EQ(clock_.Now(), 1300);
  EXPECT_EQ(buffer[1], 0x55);

  // A later prompt reply does not overtake a late one.
  bus().device(index).AddFault({sim::RequestKind::Probe, 2, sim::FaultEffect::Delay, 50});
  ASSERT_EQ(Write(dev, ProbeBuffer()), 65);
  bus().QueueInput(index, {0x42});
  EXPECT_EQ(hid_read(dev, buffer, 64), 64);
  EXPECT_EQ(clock_.Now(), 1350);
  EXPECT_EQ(hid_read(dev, buffer, 64), 1);
  EXPECT_EQ(buffer[0], 0x42);
}

TEST_F(SimBusTest, UnpluggedDeviceFailsWritesAndReadsAndLeavesTheBus) {
  const int index = bus().AddDevice(Device("/dev/hidraw0"));
  bus().device(index).AddFault({sim::RequestKind::Probe, 2, sim::FaultEffect::Unplug, 0});
  hid_device* dev = Open("/dev/hidraw0");
  ASSERT_NE(dev, nullptr);
  EXPECT_EQ(Write(dev, ProbeBuffer()), 65);
  EXPECT_EQ(Write(dev, ProbeBuffer()), -1);
  EXPECT_EQ(Write(dev, ProbeBuffer()), -1);
  uint8_t buffer[64];
  EXPECT_EQ(hid_read_timeout(dev, buffer, 64, 100), -1);
  EXPECT_EQ(bus().writes().size(), 3u) << "every attempt is recorded";
  EXPECT_TRUE(Listed().empty());
  EXPECT_EQ(Open("/dev/hidraw0"), nullptr);
}

TEST_F(SimBusTest, EnumerationFiltersByIdsAndKeepsTheOrderAdded) {
  bus().AddDevice(Device("/dev/hidraw2", 0x1234, 0xC081));
  bus().AddDevice(Device("/dev/hidraw0", 0x5678, 0xC081));
  bus().AddDevice(Device("/dev/hidraw1", 0x1234, 0x0001));
  struct FilterCase {
    unsigned short vendor;
    unsigned short product;
    std::vector<std::string> paths;
  };
  const FilterCase cases[] = {
      {0, 0, {"/dev/hidraw2", "/dev/hidraw0", "/dev/hidraw1"}},
      {0, 0xC081, {"/dev/hidraw2", "/dev/hidraw0"}},
      {0x1234, 0, {"/dev/hidraw2", "/dev/hidraw1"}},
      {0x5678, 0xC081, {"/dev/hidraw0"}},
      {0x5678, 0x0001, {}},
  };
  for (const FilterCase& c : cases) {
    EXPECT_EQ(Listed(c.vendor, c.product), c.paths) << c.vendor << ":" << c.product;
  }
  EXPECT_EQ(bus().enumerations(), 5);
}

TEST_F(SimBusTest, EnumerationEntryCarriesTheDeviceIdentity) {
  sim::VirtualDeviceSetup setup = Device("/dev/hidraw7", 0xABCD, 0xC081);
  setup.release = 0x0102;
  setup.interfaceNumber = 3;
  setup.manufacturer = L"Maker";
  setup.product = L"Loader";
  setup.serial = L"ORVEL-SIM-7";
  bus().AddDevice(setup);
  bus().AddDevice(Device("/dev/hidraw8"));
  hid_device_info* list = hid_enumerate(0, 0xC081);
  ASSERT_NE(list, nullptr);
  ASSERT_NE(list->next, nullptr);
  EXPECT_EQ(list->next->next, nullptr);
  EXPECT_STREQ(list->path, "/dev/hidraw7");
  EXPECT_EQ(list->vendor_id, 0xABCD);
  EXPECT_EQ(list->product_id, 0xC081);
  EXPECT_EQ(list->release_number, 0x0102);
  EXPECT_EQ(list->interface_number, 3);
  EXPECT_EQ(std::wstring(list->manufacturer_string), L"Maker");
  EXPECT_EQ(std::wstring(list->product_string), L"Loader");
  ASSERT_NE(list->serial_number, nullptr);
  EXPECT_EQ(std::wstring(list->serial_number), L"ORVEL-SIM-7");
  EXPECT_EQ(list->next->serial_number, nullptr) << "no serial number by default";
  hid_free_enumeration(list);

  hid_device* bySerial = hid_open(0, 0xC081, L"ORVEL-SIM-7");
  ASSERT_NE(bySerial, nullptr);
  open_.push_back(bySerial);
  wchar_t serial[16] = {};
  EXPECT_EQ(hid_get_serial_number_string(bySerial, serial, 16), 0);
  EXPECT_EQ(std::wstring(serial), L"ORVEL-SIM-7");
  EXPECT_EQ(hid_open(0, 0xC081, L"ORVEL-SIM-8"), nullptr);
}

TEST_F(SimBusTest, DeviceAppearsAfterItsEnumerations) {
  sim::VirtualDeviceSetup late = Device("/dev/hidraw1");
  late.appearAfterEnumerations = 2;
  bus().AddDevice(Device("/dev/hidraw0"));
  bus().AddDevice(late);
  EXPECT_EQ(Open("/dev/hidraw1"), nullptr) << "not there yet";
  EXPECT_EQ(Listed(), (std::vector<std::string>{"/dev/hidraw0"}));
  EXPECT_EQ(Listed(), (std::vector<std::string>{"/dev/hidraw0"}));
  EXPECT_EQ(Listed(), (std::vector<std::string>{"/dev/hidraw0", "/dev/hidraw1"}));
  EXPECT_NE(Open("/dev/hidraw1"), nullptr);
}

TEST_F(SimBusTest, RestartedDeviceLeavesTheBusButItsOpenHandleStillWrites) {
  const int index = bus().AddDevice(Device("/dev/hidraw0"));
  hid_device* dev = Open("/dev/hidraw0");
  ASSERT_NE(dev, nullptr);
  const Bytes restart = {0x00, 0x1A, 0x57, 0x01};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Write(dev, restart), 4);
  EXPECT_EQ(bus().device(index).trace().size(), 3u);
  EXPECT_EQ(bus().pendingInput(index), 0);
  EXPECT_TRUE(Listed().empty());
  EXPECT_EQ(Open("/dev/hidraw0"), nullptr);
}

TEST_F(SimBusTest, EveryOpenHandleReadsItsOwnCopyAndClosingDropsIt) {
  const int index = bus().AddDevice(Device("/dev/hidraw0"));
  hid_device* writer = Open("/dev/hidraw0");
  hid_device* listener = Open("/dev/hidraw0");
  ASSERT_NE(writer, nullptr);
  ASSERT_NE(listener, nullptr);
  ASSERT_EQ(Write(writer, ProbeBuffer()), 65);
  EXPECT_EQ(bus().pendingInput(index), 2) << "one copy per handle";

  uint8_t buffer[64] = {};
  EXPECT_EQ(hid_read_timeout(writer, buffer, 64, 0), 64);
  EXPECT_EQ(buffer[1], 0x55);
  EXPECT_EQ(hid_read_timeout(writer, buffer, 64, 0), 0);
  EXPECT_EQ(bus().pendingInput(index), 1) << "the other handle keeps its copy";

  // A handle opened after the report was sent never sees it, like the next
  // run of a tool whose predecessor died with a reply unread.
  hid_device* late = Open("/dev/hidraw0");
  ASSERT_NE(late, nullptr);
  EXPECT_EQ(hid_read_timeout(late, buffer, 64, 0), 0);

  Close(writer);
  EXPECT_EQ(bus().pendingInput(index), 1) << "the other handle still listens";
  Close(listener);
  EXPECT_EQ(bus().pendingInput(index), 0) << "its unread copy went with it";
  EXPECT_EQ(hid_read_timeout(late, buffer, 64, 0), 0);
}

TEST_F(SimBusTest, AHandleThatNeverReadsKeepsAtMostTheRingAndDisturbsNoReader) {
  const int index = bus().AddDevice(Device("/dev/hidraw0"));
  hid_device* reader = Open("/dev/hidraw0");
  hid_device* idle = Open("/dev/hidraw0");  // held open as a claim is, never read
  ASSERT_NE(reader, nullptr);
  ASSERT_NE(idle, nullptr);
  const int kLimit = static_cast<int>(sim::VirtualHidBus::kInputQueueLimit);
  const int kSent = kLimit + 37;
  uint8_t buffer[64] = {};

  // One report a millisecond, read as it comes: the reader gets every one.
  for (int i = 0; i < kSent; ++i) bus().QueueInput(index, Bytes(64, static_cast<uint8_t>(i)), i);
  for (int i = 0; i < kSent; ++i) {
    ASSERT_EQ(hid_read_timeout(reader, buffer, 64, 10), 64) << i;
    EXPECT_EQ(buffer[0], i);
  }
  EXPECT_EQ(bus().pendingInput(index), kLimit) << "only the idle handle's full ring";
  // The idle handle kept the oldest reports; the later ones found it full.
  for (int i = 0; i < kLimit; ++i) {
    ASSERT_EQ(hid_read_timeout(idle, buffer, 64, 0), 64) << i;
    EXPECT_EQ(buffer[0], i);
  }
  EXPECT_EQ(hid_read_timeout(idle, buffer, 64, 0), 0);

  // A burst the reader does not keep up with overflows its ring too.
  for (int i = 0; i < kSent; ++i) bus().QueueInput(index, Bytes(64, static_cast<uint8_t>(i)), 0);
  int received = 0;
  while (hid_read_timeout(reader, buffer, 64, 0) == 64) ++received;
  EXPECT_EQ(received, kLimit);
  EXPECT_EQ(buffer[0], kLimit - 1) << "the newest reports are the lost ones";
}

TEST_F(SimBusTest, HandlesFromBeforeAResetFail) {
  bus().AddDevice(Device("/dev/hidraw0"));
  hid_device* dev = Open("/dev/hidraw0");
  ASSERT_NE(dev, nullptr);
  bus().Reset();
  bus().AddDevice(Device("/dev/hidraw0"));
  uint8_t buffer[64];
  EXPECT_EQ(Write(dev, ProbeBuffer()), -1);
  EXPECT_EQ(hid_read_timeout(dev, buffer, 64, 0), -1);
  EXPECT_TRUE(bus().writes().empty());
}

}  // namespace
