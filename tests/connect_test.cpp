// The connect step against virtual bootloaders: which candidate connects,
// what is left open or released, stale input, and the connect line.
#include "dfu/connect.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <climits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/console_observer.h"
#include "console/reasons.h"
#include "dfu/rom_packets.h"
#include "job_fixture.h"
#include "platform/locale_names.h"
#include "platform/platform.h"

namespace {

using job_test::AddBootloader;
using job_test::DevicePath;
using job_test::kDefaultDescription;
using job_test::LoaderAt;
using job_test::ReasonLines;
using job_test::Replaced;
using job_test::SimJobTest;
using job_test::ToolConnect;

// The claim name the link takes for a device path: the path from "hid" on.
std::string ClaimName(int number) {
  const std::string path = DevicePath(number);
  return path.substr(path.find("hid"));
}

using ConnectTest = SimJobTest;

TEST_F(ConnectTest, QueryWithNothingAttachedGivesUpAfterOneQuietAttempt) {
  EXPECT_EQ(ToolConnect(false), 0);
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

  ASSERT_EQ(ToolConnect(false), 1);
  EXPECT_EQ(
      console.str(),
      ">> : Query connected device: \"Orvel Second Loader(HID\\VID_1234&PID_C081&REV_0100)\"\n");
  EXPECT_EQ(Trace(silent), std::vector<std::string>{"dev0 probe"});
  EXPECT_EQ(Trace(good), std::vector<std::string>{"dev1 probe"});
  EXPECT_GE(clock.Now(), 600 + 200);  // the first probe waited out its time

  // The first device's claim is free again; the second's is held.
  platform::DeviceClaim other;
  EXPECT_EQ(other.TryAcquire(DevicePath(0), ClaimName(0)), platform::DeviceClaim::Outcome::Acquired);
  EXPECT_EQ(other.TryAcquire(DevicePath(1), ClaimName(1)),
            platform::DeviceClaim::Outcome::HeldElsewhere);

  // Traffic goes to the device that connected.
  EXPECT_TRUE(RomErase(theHidLink, 0, 1));
  EXPECT_EQ(Trace(good).back(), "dev1 erase 0x00000000 1");
  EXPECT_EQ(Trace(silent).size(), 1u);
}

struct RejectedCandidate {
  const char* name;
  std::optional<std::string> path;  // none: a path of the test's own
  std::function<void(sim::VirtualBootloader&)> misbehave;
  std::vector<std::string> trace;  // what reached the device
  std::string reasons;             // PATH stands for the device's path
  bool openDenied = false;
};

// How the reasons name the default device at PATH.
const std::string kNamed = "orvel-dfu: error: PATH (" + std::string(kDefaultDescription) + "): ";

// Where users get access to device nodes through a udev rule (Linux), a
// node that cannot be opened comes with a note on the rule.
#ifdef __linux__
const std::string kUdevNote =
    "orvel-dfu: note: to let your user open it, install the udev rule packaging/udev/70-orvel-dfu.rules "
    "(README, section \"Using a real chip on Linux\")\n";
#else
const std::string kUdevNote;
#endif

TEST_F(ConnectTest, RejectedCandidatesLeaveNothingOpenAndPrintNothing) {
  const auto noFault = [](sim::VirtualBootloader&) {};
  const std::vector<RejectedCandidate> cases = {
      {"silent", std::nullopt, [](auto& device) { device.SetSilent(true); }, {"dev0 probe"},
       kNamed + "failed the probe: no reply within 200 ms\n"},
      {"echo 1A 00",
       std::nullopt,
       [](auto& device) {
         device.AddFault({sim::RequestKind::Probe, 1, sim::FaultEffect::Wrong, 0});
       },
       {"dev0 probe"},
       kNamed +
           "failed the probe: the bootloader's reply was not the echo of the request: expected 1A 55, received 1A "
           "00\n"},
      {"echo too late",
       std::nullopt,
       [](auto& device) {
         device.AddFault({sim::RequestKind::Probe, 1, sim::FaultEffect::Delay, 250});
       },
       {"dev0 probe"},
       kNamed + "failed the probe: no reply within 200 ms\n"},
      {"no path", "", noFault, {},
       "orvel-dfu: error: " + std::string(kDefaultDescription) +
           ": the HID library gives no path to open it\n"},
      // Its claim is let go at once, so it starves no other instance.
      {"cannot be opened", std::nullopt, noFault, {},
       kNamed + "cannot be opened: Failed to open a device with path 'PATH': Permission denied\n" + kUdevNote,
       true},
  };
  for (const RejectedCandidate& c : cases) {
    SCOPED_TRACE(c.name);
    Bus().Reset();
    console.str("");
    sim::VirtualDeviceSetup loader = LoaderAt(0);
    if (c.path) loader.path = *c.path;
    loader.openDenied = c.openDenied;
    const int index = Bus().AddDevice(loader);
    c.misbehave(Device(index));

    Reasons why;
    EXPECT_EQ(ToolConnect(false, &why), 0);
    EXPECT_EQ(console.str(), "");
    EXPECT_EQ(theHidLink.device, nullptr);
    EXPECT_FALSE(theHidLink.claim.held());
    EXPECT_EQ(Trace(index), c.trace);
    EXPECT_EQ(ReasonLines(why), Replaced(c.reasons, "PATH", loader.path));
  }
}

TEST_F(ConnectTest, DeviceClaimedByAnotherInstanceIsSkippedUntilReleased) {
  const int index = AddBootloader(0);
  platform::DeviceClaim otherInstance;
  ASSERT_EQ(otherInstance.TryAcquire(DevicePath(0), ClaimName(0)),
            platform::DeviceClaim::Outcome::Acquired);

  Reasons why;
  EXPECT_EQ(ToolConnect(false, &why), 0);
  EXPECT_TRUE(Device(index).trace().empty());
  EXPECT_EQ(console.str(), "");
  EXPECT_EQ(ReasonLines(why),
            Replaced(kNamed + "in use by another running orvel-dfu\n", "PATH", DevicePath(0)));

  otherInstance.Release();
  EXPECT_EQ(ToolConnect(false), 1);
  EXPECT_EQ(Trace(index), std::vector<std::string>{"dev0 probe"});
}

TEST_F(ConnectTest, ReportsQueuedAfterTheProbeEchoNeverReachTheFirstCommand) {
  const int index = AddBootloader(0);
  Device(index).SetNoise(5);

  ASSERT_EQ(ToolConnect(false), 1);
  EXPECT_EQ(Bus().pendingInput(index), 0);
  EXPECT_GT(clock.Now(), 600 + 50);  // the drain ran for more than 50 ms
  EXPECT_TRUE(RomErase(theHidLink, 0x1000, 0x1000));
}

TEST_F(ConnectTest, WaitModeConnectsOnceTheDeviceAppears) {
  sim::VirtualDeviceSetup loader = LoaderAt(0);
  loader.appearAfterEnumerations = 2;
  const int index = Bus().AddDevice(loader);

  EXPECT_EQ(ToolConnect(true), 1);
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
  // The device's own text is UTF-8 until the console writes it.
  console.str("");
  PrintConnectMessage(false, "\xE4\xB8\xAD\xE6\x96\x87 Loader");
  EXPECT_EQ(console.str(), ">> \xA3\xBA\xB2\xE9\xD1\xAF\xC1\xAC\xBD\xD3\xB5\xBD\xC9\xE8\xB1\xB8\xA3\xBA\"\xD6\xD0\xCE\xC4 Loader\"\n");
  LogMode = false;
  console.str("");
  PrintConnectMessage(true, device);
  EXPECT_EQ(console.str(), "");
}

// A clock that moves on by itself: a millisecond every `readingsPerMs` readings.
class BusyClock : public sim::VirtualClock {
 public:
  explicit BusyClock(int readingsPerMs) : readingsPerMs_(readingsPerMs) {}
  int32_t Now() override {
    if (++readings_ % readingsPerMs_ == 0) Sleep(1);
    return sim::VirtualClock::Now();
  }

 private:
  int readingsPerMs_;
  int readings_ = 0;
};

struct FloodCase {
  const char* name;
  int readingsPerMs;  // how fast the drain goes: a pass reads the clock twice
  int floodPerMs;     // more than the drain reads: its queue never runs dry
  int fewestRead;     // input reports the drain reads
  int mostRead;
};

TEST_F(ConnectTest, DrainOfAFloodingDeviceEnds) {
  constexpr int kFlood = 20000;
  const FloodCase cases[] = {
      {"reads keep up: a bounded number is read", 64, 100, 4096, 4096},
      // Two clock readings a read: 2 s are about 1000 reads.
      {"reading takes time: a bounded time is spent", 1, 1, 700, 1000},
  };
  for (const FloodCase& c : cases) {
    SCOPED_TRACE(c.name);
    Bus().Reset();
    BusyClock busy(c.readingsPerMs);
    SetTickSource(&busy);
    const int index = AddBootloader(0);
    Device(index).SetNoise(kFlood, c.floodPerMs);

    ASSERT_EQ(ToolConnect(false), 1);
    const int drained = Bus().reportsRead(index) - 1;  // all but the probe's echo
    EXPECT_GE(drained, c.fewestRead);
    EXPECT_LE(drained, c.mostRead);
    theHidLink.Close();
    SetTickSource(&clock);
  }
}

// Wait mode says at once that it waits, and why an interface is skipped the
// first time only; which of several was used travels up with the result.
TEST_F(ConnectTest, WaitModeSaysOnceWhatItWaitsForAndWhyItSkips) {
  struct Case {
    int32_t language;
    std::string written;
    std::string chosen;
  };
  const std::string silentDevice = DevicePath(0) + " (" + kDefaultDescription + ")";
  const std::vector<Case> cases = {
      {1,
       "orvel-dfu: note: waiting for a bootloader (USB HID product ID 0xC081) to attach; "
       "Ctrl+C ends the wait\n"
       "orvel-dfu: note: " + silentDevice + ": failed the probe: no reply within 200 ms\n",
       "orvel-dfu: note: 2 bootloaders are attached; used " + DevicePath(1) +
           " (serial number SN-1)\n"},
      {0,
       "orvel-dfu: 提示：正在等待 bootloader（USB HID 产品 ID 0xC081）连接；按 Ctrl+C 结束等待\n"
       "orvel-dfu: 提示：" + DevicePath(0) + "（" + kDefaultDescription +
           "）：探测失败：200 毫秒内没有应答\n",
       "orvel-dfu: 提示：连接了 2 个 bootloader；使用了 " + DevicePath(1) + "（序列号 SN-1）\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.language);
    Bus().Reset();
    errors.str("");
    UiLanguage = c.language;
    Device(AddBootloader(0)).SetSilent(true);
    sim::VirtualDeviceSetup late = LoaderAt(1);
    late.appearAfterEnumerations = 2;
    late.serial = L"SN-1";
    Bus().AddDevice(late);

    Reasons why;
    ASSERT_EQ(ToolConnect(true, &why), 1);
    EXPECT_EQ(Bus().enumerations(), 3);
    EXPECT_EQ(errors.str(), c.written);
    EXPECT_EQ(ReasonLines(why), c.chosen);
    theHidLink.Close();
  }
}

// A file linked where the claim's lock file belongs: the device is skipped,
// with the file named, and the file is left as it was.
TEST_F(ConnectTest, UnusableClaimFileIsNamed) {
#ifdef _WIN32
  GTEST_SKIP() << "claim lock files; a Windows claim is a named mutex";
#else
  AddBootloader(0);
  const std::string lockFile = platform::ClaimLockFilePath(platform::ClaimLockFolder(), ClaimName(0));
  unlink(lockFile.c_str());  // left by an earlier claim in this process
  ASSERT_EQ(mkdir(lockFile.c_str(), 0700), 0);

  Reasons why;
  EXPECT_EQ(ToolConnect(false, &why), 0);
  EXPECT_EQ(ReasonLines(why),
            Replaced(kNamed, "PATH", DevicePath(0)) + "skipped: its claim file " + lockFile +
                " cannot serve as a lock (that takes a regular file with one link that everyone "
                "may read); remove it when no orvel-dfu runs\n");
  rmdir(lockFile.c_str());
#endif
}

// Devices on the in-process bus have no sysfs: their USB locations come from
// this table, as the platform would read them for a hidraw node.
std::map<std::string, std::string>& LocationTable() {
  static std::map<std::string, std::string> table;
  return table;
}

std::string LocationFromTable(const std::string& path) {
  const auto found = LocationTable().find(path);
  return found != LocationTable().end() ? found->second : std::string();
}

// Three bootloaders: device N at DevicePath(N), serial number SN-N, USB
// location 1-2.<N+1>.
class SelectorTest : public ConnectTest {
 protected:
  void SetUp() override {
    ConnectTest::SetUp();
    theDeviceSearch.locationOf = LocationFromTable;
    LocationTable().clear();
  }
  // sharedSerial: device 2 reports device 1's serial number, as boot ROMs
  // often do.
  void AddThree(bool sharedSerial = false) {
    for (int n = 0; n < 3; ++n) {
      sim::VirtualDeviceSetup loader = LoaderAt(n);
      loader.serial = L"SN-" + std::to_wstring(sharedSerial && n == 2 ? 1 : n);
      LocationTable()[loader.path] = "1-2." + std::to_string(n + 1);
      Bus().AddDevice(loader);
    }
  }
};

// Only the selected device is a candidate: a busy or silent one fails the
// connect step rather than being replaced by another, and a selector names
// a whole path, serial number or location, never a part of one, nor more
// than one device.
TEST_F(SelectorTest, OnlyTheSelectedDeviceIsUsed) {
  const std::string named = "orvel-dfu: error: " + DevicePath(1) + " (" + kDefaultDescription + "): ";
  const auto notThere = [](const std::string& selector) {
    return "orvel-dfu: error: no bootloader with path, serial number or USB location '" + selector +
           "' is attached\n"
           "orvel-dfu: note: 3 other bootloaders are attached: orvel-dfu --list shows their paths, serial numbers "
           "and USB locations\n"
           "orvel-dfu: note: to wait until it attaches, add -w 1\n";
  };
  struct Case {
    const char* name;
    std::string selector;
    int misbehaving;  // -1: none
    bool claimedElsewhere;
    int connected;  // -1: none
    std::string reasons;
    bool sharedSerial = false;
  };
  const std::string path = DevicePath(1);
  const std::vector<Case> cases = {
      {"USB location", "1-2.1", -1, false, 0, ""},
      {"selected is silent", "SN-1", 1, false, -1, named + "failed the probe: no reply within 200 ms\n"},
      {"selected is busy", "1-2.2", -1, true, -1, named + "in use by another running orvel-dfu\n"},
      {"selected is not there", "SN-9", -1, false, -1, notThere("SN-9")},
      {"the start of every serial number", "SN-", -1, false, -1, notThere("SN-")},
      {"a serial number and more", "SN-10", -1, false, -1, notThere("SN-10")},
      {"the start of every location", "1-2.", -1, false, -1, notThere("1-2.")},
      {"the start of every path", path.substr(0, path.size() - 1), -1, false, -1,
       notThere(path.substr(0, path.size() - 1))},
      {"a serial number two devices share", "SN-1", -1, false, -1,
       "orvel-dfu: error: 'SN-1' names 2 bootloaders: select one by its path or USB location\n"
       "orvel-dfu: note: 'SN-1' names " + path + " (USB location 1-2.2, serial number SN-1)\n"
       "orvel-dfu: note: 'SN-1' names " + DevicePath(2) + " (USB location 1-2.3, serial number SN-1)\n",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bus().Reset();
    AddThree(c.sharedSerial);
    if (c.misbehaving >= 0) Device(c.misbehaving).SetSilent(true);
    platform::DeviceClaim otherInstance;
    if (c.claimedElsewhere) {
      ASSERT_EQ(otherInstance.TryAcquire(DevicePath(1), ClaimName(1)), platform::DeviceClaim::Outcome::Acquired);
    }
    theDeviceSearch.selector = c.selector;

    Reasons why;
    EXPECT_EQ(ToolConnect(false, &why), c.connected >= 0 ? 1 : 0);
    // No note on which of three was used: the user chose it.
    EXPECT_EQ(ReasonLines(why), c.reasons);
    for (int n = 0; n < 3; ++n) {
      const bool tried = n == c.connected || (n == c.misbehaving);
      EXPECT_EQ(Trace(n), tried ? std::vector<std::string>{"dev" + std::to_string(n) + " probe"}
                                : std::vector<std::string>{})
          << "device " << n;
    }
    theHidLink.Close();
  }
}

// A bounded wait gives up at the end of the first attempt that ends at or
// after its time, ending as a query that finds no device ends.
TEST_F(ConnectTest, BoundedWaitGivesUp) {
  struct Case {
    const char* name;
    int32_t language;
    int32_t timeoutMs;
    std::string selector;
    bool silentDevice;
    int32_t endsAt;
    std::string written;  // while waiting
    std::string reasons;  // the result's
    int32_t startsAt = 0;  // the clock's reading when the wait begins
  };
  const std::string silent = DevicePath(0) + " (" + kDefaultDescription + "): failed the probe: no reply within 200 ms";
  const std::vector<Case> cases = {
      // Attempts of 600 ms; the fourth starts at 2000 ms.
      {"nothing attached", 1, 2000, "", false, 2200,
       "orvel-dfu: note: waiting for a bootloader (USB HID product ID 0xC081) to attach for at most 2 s; Ctrl+C "
       "ends the wait\n",
       "orvel-dfu: error: gave up after 2 s (--timeout): no bootloader attached\n"},
      {"selected silent device", 1, 250, DevicePath(0), true, 650,
       "orvel-dfu: note: waiting for bootloader '" + DevicePath(0) +
           "' (USB HID product ID 0xC081) to attach for at most 0.25 s; Ctrl+C ends the wait\n"
           "orvel-dfu: note: " + silent + "\n",
       "orvel-dfu: error: gave up after 0.25 s (--timeout): bootloader '" + DevicePath(0) + "' could not be used\n"},
      {"selected not attached", 0, 1500, "SN-9", true, 1700,
       "orvel-dfu: 提示：正在等待 bootloader“SN-9”（USB HID 产品 ID 0xC081）连接，最多等待 1.5 秒；按 Ctrl+C 结束等待\n",
       "orvel-dfu: 错误：1.5 秒后放弃等待（--timeout）：没有连接 bootloader“SN-9”\n"},
      // The counter wraps to its smallest value 1 s into the wait.
      {"across the clock's wrap", 1, 2000, "", false, 2200,
       "orvel-dfu: note: waiting for a bootloader (USB HID product ID 0xC081) to attach for at most 2 s; Ctrl+C "
       "ends the wait\n",
       "orvel-dfu: error: gave up after 2 s (--timeout): no bootloader attached\n", INT32_MAX - 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bus().Reset();
    clock = sim::VirtualClock();
    clock.Sleep(c.startsAt);
    errors.str("");
    UiLanguage = c.language;
    if (c.silentDevice) Device(AddBootloader(0)).SetSilent(true);
    theDeviceSearch.selector = c.selector;

    Reasons why;
    EXPECT_EQ(ToolConnect(true, &why, c.timeoutMs), 0);
    EXPECT_EQ(TicksBetween(c.startsAt, clock.Now()), c.endsAt);
    EXPECT_EQ(errors.str(), c.written);
    EXPECT_EQ(ReasonLines(why), c.reasons);
    EXPECT_EQ(console.str(), "");
    EXPECT_FALSE(theHidLink.claim.held());
  }

  // A device that attaches in time is used.
  Bus().Reset();
  sim::VirtualDeviceSetup late = LoaderAt(0);
  late.appearAfterEnumerations = 3;
  Bus().AddDevice(late);
  theDeviceSearch.selector.clear();
  EXPECT_EQ(ToolConnect(true, nullptr, 5000), 1);
}

}  // namespace
