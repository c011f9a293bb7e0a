// The connect step against virtual bootloaders: which candidate connects,
// what is left open or released, stale input, and the connect line.
#include "dfu/connect.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "dfu/rom_packets.h"
#include "job_fixture.h"
#include "platform/platform.h"

namespace {

using job_test::DevicePath;
using job_test::kDefaultDescription;
using job_test::SimJobTest;

// The claim name the link takes for a device path: the path from "hid" on.
std::string ClaimName(int number) {
  const std::string path = DevicePath(number);
  return path.substr(path.find("hid"));
}

using ConnectTest = SimJobTest;

TEST_F(ConnectTest, QueryWithNothingAttachedGivesUpAfterOneQuietAttempt) {
  EXPECT_EQ(ConnectDevice(false), 0);
  EXPECT_EQ(console.str(), "");
  EXPECT_EQ(theHidLink.device, nullptr);
  EXPECT_FALSE(theHidLink.claim.held());
  EXPECT_EQ(Bus().enumerations(), 1);
  EXPECT_EQ(clock.Now(), 600);  // attempt pause and rescan settle time
}

TEST_F(ConnectTest, SilentFirstCandidateIsReleasedAndTheSecondConnects) {
  const int silent = AddBootloader(0);
  Device(silent).SetSilent(true);
  sim::VirtualDeviceSetup second = LoaderAt(1);
  second.product = L"Second Loader";
  const int good = Bus().AddDevice(second);

  ASSERT_EQ(ConnectDevice(false), 1);
  EXPECT_EQ(
      console.str(),
      ">> : Query connected device: \"Orvel Second Loader(HID\\VID_1234&PID_C081&REV_0100)\"\n");
  EXPECT_EQ(Trace(silent), std::vector<std::string>{"dev0 probe"});
  EXPECT_EQ(Trace(good), std::vector<std::string>{"dev1 probe"});
  EXPECT_GE(clock.Now(), 600 + 200);  // the first probe waited out its time

  // The first device's claim is free again; the second's is held.
  platform::NamedLock other;
  EXPECT_EQ(other.TryAcquire(ClaimName(0)), platform::NamedLock::Outcome::Acquired);
  EXPECT_EQ(other.TryAcquire(ClaimName(1)), platform::NamedLock::Outcome::HeldElsewhere);

  // Traffic goes to the device that connected.
  EXPECT_TRUE(RomErase(0, 1));
  EXPECT_EQ(Trace(good).back(), "dev1 erase 0x00000000 1");
  EXPECT_EQ(Trace(silent).size(), 1u);
}

struct RejectedCandidate {
  const char* name;
  std::optional<std::string> path;  // none: a path of the test's own
  std::function<void(sim::VirtualBootloader&)> misbehave;
  std::vector<std::string> trace;  // what reached the device
};

TEST_F(ConnectTest, RejectedCandidatesLeaveNothingOpenAndPrintNothing) {
  const auto noFault = [](sim::VirtualBootloader&) {};
  const std::vector<RejectedCandidate> cases = {
      {"silent", std::nullopt, [](auto& device) { device.SetSilent(true); }, {"dev0 probe"}},
      {"echo 1A 00",
       std::nullopt,
       [](auto& device) {
         device.AddFault({sim::RequestKind::Probe, 1, sim::FaultEffect::Wrong, 0});
       },
       {"dev0 probe"}},
      {"echo too late",
       std::nullopt,
       [](auto& device) {
         device.AddFault({sim::RequestKind::Probe, 1, sim::FaultEffect::Delay, 250});
       },
       {"dev0 probe"}},
      {"no path", "", noFault, {}},
  };
  for (const RejectedCandidate& c : cases) {
    SCOPED_TRACE(c.name);
    Bus().Reset();
    console.str("");
    sim::VirtualDeviceSetup loader = LoaderAt(0);
    if (c.path) loader.path = *c.path;
    const int index = Bus().AddDevice(loader);
    c.misbehave(Device(index));

    EXPECT_EQ(ConnectDevice(false), 0);
    EXPECT_EQ(console.str(), "");
    EXPECT_EQ(theHidLink.device, nullptr);
    EXPECT_FALSE(theHidLink.claim.held());
    EXPECT_EQ(Trace(index), c.trace);
  }
}

TEST_F(ConnectTest, DeviceClaimedByAnotherInstanceIsSkippedUntilReleased) {
  const int index = AddBootloader(0);
  platform::NamedLock otherInstance;
  ASSERT_EQ(otherInstance.TryAcquire(ClaimName(0)), platform::NamedLock::Outcome::Acquired);

  EXPECT_EQ(ConnectDevice(false), 0);
  EXPECT_TRUE(Device(index).trace().empty());
  EXPECT_EQ(console.str(), "");

  otherInstance.Release();
  EXPECT_EQ(ConnectDevice(false), 1);
  EXPECT_EQ(Trace(index), std::vector<std::string>{"dev0 probe"});
}

TEST_F(ConnectTest, ReportsQueuedAfterTheProbeEchoNeverReachTheFirstCommand) {
  const int index = AddBootloader(0);
  Device(index).SetNoise(5);

  ASSERT_EQ(ConnectDevice(false), 1);
  EXPECT_EQ(Bus().pendingInput(index), 0);
  EXPECT_GT(clock.Now(), 600 + 50);  // the drain ran for more than 50 ms
  EXPECT_TRUE(RomErase(0x1000, 0x1000));
}

TEST_F(ConnectTest, WaitModeConnectsOnceTheDeviceAppears) {
  sim::VirtualDeviceSetup loader = LoaderAt(0);
  loader.appearAfterEnumerations = 2;
  const int index = Bus().AddDevice(loader);

  EXPECT_EQ(ConnectDevice(true), 1);
  EXPECT_EQ(Bus().enumerations(), 3);
  EXPECT_EQ(console.str(),
            std::string(">> : Wait to connect to the device: \"") + kDefaultDescription + "\"\n");
  EXPECT_EQ(Trace(index), std::vector<std::string>{"dev0 probe"});
  EXPECT_NE(theHidLink.device, nullptr);
}

struct ConnectLine {
  bool wait;
  int32_t language;
  ConsoleEncoding encoding;
  std::string expected;
};

TEST_F(ConnectTest, ConnectLineInBothLanguagesAndModes) {
  const std::string device = "Maker Loader(HID\\VID_1234&PID_C081&REV_0100)";
  const std::vector<ConnectLine> cases = {
      {true, 1, ConsoleEncoding::Utf8, ">> : Wait to connect to the device: \"" + device + "\"\n"},
      {false, 1, ConsoleEncoding::Utf8, ">> : Query connected device: \"" + device + "\"\n"},
      {true, 0, ConsoleEncoding::Utf8, ">> ：等待连接到设备：\"" + device + "\"\n"},
      {false, 0, ConsoleEncoding::Utf8, ">> ：查询连接到设备：\"" + device + "\"\n"},
      {false, 0, ConsoleEncoding::Gbk,
       ">> \xA3\xBA\xB2\xE9\xD1\xAF\xC1\xAC\xBD\xD3\xB5\xBD\xC9\xE8\xB1\xB8\xA3\xBA\"" + device +
           "\"\n"},
  };
  for (const ConnectLine& c : cases) {
    console.str("");
    UiLanguage = c.language;
    SetConsoleEncoding(c.encoding);
    PrintConnectMessage(c.wait, device);
    EXPECT_EQ(console.str(), c.expected);
  }
  LogMode = false;
  console.str("");
  PrintConnectMessage(true, device);
  EXPECT_EQ(console.str(), "");
}

}  // namespace
