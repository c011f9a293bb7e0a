// HidLink over the virtual HID bus: report layout, reply assembly and time-outs,
// failed reports and reads, the clock's wrap, and the inter-process claim.
#include "device/hid_link.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#ifndef _WIN32
#include <sys/file.h>
#endif

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "common/ascii_case.h"
#include "dfu/rom_packets.h"
#include "platform/locale_names.h"
#include "platform/ticks.h"
#include "other_process.h"
#include "portable.h"
#include "virtual_hid_bus.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Sequence(int32_t count, uint8_t first = 1) {
  Bytes bytes(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(first + i);
  return bytes;
}

// A name no other test process uses, so parallel runs never share a claim.
std::string UniqueSuffix(const std::string& tag) {
  return tag + "-" + std::to_string(TestProcessId());
}

class HidLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bus().Reset();
    SetTickSource(&clock);
  }
  void TearDown() override {
    hidLink.Close();
    SetTickSource(nullptr);
    bus().Reset();
  }

  static sim::VirtualHidBus& bus() { return sim::VirtualHidBus::Instance(); }

  // Adds a bootloader that answers nothing by itself and opens it.
  int OpenQuietDevice() {
    sim::VirtualDeviceSetup setup;
    setup.path = "/dev/hidraw-" + UniqueSuffix("link");
    const int index = bus().AddDevice(setup);
    bus().device(index).SetSilent(true);
    EXPECT_TRUE(hidLink.OpenDevice(setup.path.c_str()));
    return index;
  }

  sim::VirtualClock clock;
  HidLink hidLink;  // on the process clock, which is the test's
};

struct WriteCase {
  const char* name;
  bool collectionMode;
  int32_t length;
  size_t reports;
};

TEST_F(HidLinkTest, WriteCutsDataIntoZeroFilledReports) {
  const WriteCase cases[] = {
      {"two bytes", false, 2, 1},        {"two bytes, collection", true, 2, 1},
      {"one full report", false, 64, 1}, {"one byte over", false, 65, 2},
      {"one byte over, collection", true, 65, 2}, {"three reports", false, 130, 3},
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    bus().Reset();
    OpenQuietDevice();
    hidLink.collectionMode = c.collectionMode;
    const Bytes data = Sequence(c.length);

    ASSERT_EQ(hidLink.Write(data.data(), c.length), 1);

    const auto& writes = bus().writes();
    ASSERT_EQ(writes.size(), c.reports);
    const size_t reportId = c.collectionMode ? 0 : 1;
    for (size_t r = 0; r < writes.size(); ++r) {
      Bytes expected(64 + reportId, 0);
      for (size_t i = 0; i < 64 && r * 64 + i < data.size(); ++i) {
        expected[reportId + i] = data[r * 64 + i];
      }
      EXPECT_EQ(writes[r].buffer, expected) << "report " << r;
      if (r > 0) {
        EXPECT_GE(writes[r].tick - writes[r - 1].tick, 1) << "report " << r;
      }
    }
    hidLink.Close();
  }
}

TEST_F(HidLinkTest, WriteWithNothingToSendOrNoDeviceSendsNothing) {
  const Bytes data = Sequence(4);
  EXPECT_EQ(hidLink.Write(data.data(), 4), 0);  // nothing open yet

  OpenQuietDevice();
  EXPECT_EQ(hidLink.Write(data.data(), 0), 0);
  EXPECT_EQ(hidLink.Write(data.data(), -1), 0);
  EXPECT_EQ(hidLink.Write(nullptr, 4), 0);
  EXPECT_TRUE(bus().writes().empty());
  EXPECT_NE(hidLink.device, nullptr);
}

TEST_F(HidLinkTest, ExchangeKeepsOnlyTheWantedBytesOfAReport) {
  const int index = OpenQuietDevice();
  bus().QueueInput(index, Sequence(64, 0x40), 0);
  const Bytes request = {0x1A, 0x55};
  uint8_t reply[4] = {0xEE, 0xEE, 0xEE, 0xEE};

  EXPECT_EQ(hidLink.Exchange(request.data(), 2, reply, 2, 200), 1);

  EXPECT_EQ(reply[0], 0x40);
  EXPECT_EQ(reply[1], 0x41);
  EXPECT_EQ(reply[2], 0xEE);  // nothing beyond the wanted count is written
  EXPECT_EQ(bus().pendingInput(index), 0);  // the rest of the report is gone
}

TEST_F(HidLinkTest, ExchangeAssemblesALongReplyFromSeveralReports) {
  const int index = OpenQuietDevice();
  bus().QueueInput(index, Sequence(64, 0), 0);
  bus().QueueInput(index, Sequence(64, 100), 30);
  const Bytes request = {0x1A, 0x60};
  Bytes reply(100, 0);

  EXPECT_EQ(hidLink.Exchange(request.data(), 2, reply.data(), 100, 1000), 1);

  Bytes expected = Sequence(64, 0);
  const Bytes second = Sequence(36, 100);
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(reply, expected);
  EXPECT_EQ(clock.Now(), 30);
}

TEST_F(HidLinkTest, ExchangeIgnoresShortReports) {
  const int index = OpenQuietDevice();
  bus().QueueInput(index, Bytes(4, 0x11), 0);
  bus().QueueInput(index, Sequence(64, 0x20), 5);
  const Bytes request = {0x1A, 0x61};
  Bytes reply(10, 0);

  EXPECT_EQ(hidLink.Exchange(request.data(), 2, reply.data(), 10, 1000), 1);
  EXPECT_EQ(reply, Sequence(10, 0x20));

  // Only short reports: the reply is never complete.
  bus().QueueInput(index, Bytes(3, 0x11), 0);
  EXPECT_EQ(hidLink.Exchange(request.data(), 2, reply.data(), 10, 1000), -1);
}

struct TimeoutCase {
  const char* name;
  int32_t requestLength;
  int32_t timeoutMs;
  int32_t shortReportAtMs;  // a report too short to count; negative: none
};

TEST_F(HidLinkTest, SilentDeviceTimesOutFromTheEndOfTheWrite) {
  const TimeoutCase cases[] = {
      {"probe", 2, 200, -1},
      {"long request", 130, 1000, -1},  // three reports, 1 ms apart
      {"short report on the way", 130, 1000, 300},
      {"no wait", 2, 0, -1},
  };
  const int index = OpenQuietDevice();
  clock.Sleep(5000);
  for (const TimeoutCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes request = Sequence(c.requestLength);
    if (c.shortReportAtMs >= 0) bus().QueueInput(index, Bytes(1, 0x11), c.shortReportAtMs);
    uint8_t reply[2] = {};

    EXPECT_EQ(hidLink.Exchange(request.data(), c.requestLength, reply, 2, c.timeoutMs), -1);

    const int32_t writeEnd = bus().writes().back().tick;
    EXPECT_EQ(clock.Now(), writeEnd + c.timeoutMs);
    EXPECT_NE(hidLink.device, nullptr);  // a missing reply leaves the link open
  }
}

TEST_F(HidLinkTest, ReplyArrivingAfterTheTimeoutIsReadByTheNextExchange) {
  const int index = OpenQuietDevice();
  bus().QueueInput(index, Sequence(64, 0x30), 500);
  const Bytes request = {0x1A, 0x55};
  uint8_t reply[2] = {};

  EXPECT_EQ(hidLink.Exchange(request.data(), 2, reply, 2, 200), -1);
  EXPECT_EQ(hidLink.Exchange(request.data(), 2, reply, 2, 1000), 1);
  EXPECT_EQ(reply[0], 0x30);
  EXPECT_EQ(clock.Now(), 500);
}

TEST_F(HidLinkTest, ExchangeWithoutReplyBufferSendsTheRequestOnly) {
  const int index = OpenQuietDevice();
  const Bytes request = {0x1A, 0x57, 0x01};
  uint8_t reply[2] = {};

  EXPECT_EQ(hidLink.Exchange(request.data(), 3, nullptr, 2, 200), 0);
  EXPECT_EQ(hidLink.Exchange(request.data(), 3, reply, 0, 200), 0);
  EXPECT_EQ(bus().writes().size(), 2u);
  EXPECT_EQ(bus().device(index).trace().size(), 2u);
  EXPECT_EQ(clock.Now(), 0);
}

TEST_F(HidLinkTest, FailedReportClosesTheLinkForEveryLaterCall) {
  sim::VirtualDeviceSetup setup;
  setup.path = "/dev/hidraw-" + UniqueSuffix("unplug");
  const int index = bus().AddDevice(setup);
  bus().device(index).AddFault({sim::RequestKind::Probe, 1, sim::FaultEffect::Unplug, 0});
  ASSERT_TRUE(hidLink.ClaimDevice(setup.path.c_str()));
  ASSERT_TRUE(hidLink.OpenDevice(setup.path.c_str()));
  const Bytes probe = {0x1A, 0x55};
  uint8_t reply[2] = {};

  EXPECT_EQ(hidLink.Exchange(probe.data(), 2, reply, 2, 200), 0);
  EXPECT_EQ(hidLink.device, nullptr);
  EXPECT_FALSE(hidLink.claim.held());

  const size_t writesBefore = bus().writes().size();
  const size_t traceBefore = bus().device(index).trace().size();
  EXPECT_EQ(hidLink.Exchange(probe.data(), 2, reply, 2, 200), 0);
  EXPECT_EQ(hidLink.Write(probe.data(), 2), 0);
  EXPECT_EQ(bus().writes().size(), writesBefore);
  EXPECT_EQ(bus().device(index).trace().size(), traceBefore);
  EXPECT_EQ(clock.Now(), 0);  // no read was waited for
}

struct ClaimCase {
  const char* name;
  std::string path;
  std::string claimName;  // what another holder of the same device would use
  bool collectionMode;
};

TEST_F(HidLinkTest, ClaimNamesFollowTheHidPartOfThePath) {
  const std::string id = UniqueSuffix("claim");
  const ClaimCase cases[] = {
      {"windows interface", "\\\\?\\hid#vid_1234&pid_c081#7&" + id + "&0&0000#{4d1e}",
       "hid#vid_1234&pid_c081#7&" + id + "&0&0000#{4d1e}", false},
      {"upper case HID, second collection", "\\\\?\\HID#VID_1234&PID_C081&MI_00&col02#" + id,
       "HID#VID_1234&PID_C081&MI_00&col02#" + id, true},
      {"backslashes dropped", "\\\\?\\HID\\VID_1234&PID_C081\\" + id,
       "HIDVID_1234&PID_C081" + id, false},
      {"hidraw node", "/dev/hidraw-" + id, "hidraw-" + id, false},
      {"path without hid", "usb-1-2:1.0-" + id, "usb-1-2:1.0-" + id, false},
  };
  hidLink.collectionMode = true;  // a plain path must clear an earlier true
  for (const ClaimCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(hidLink.ClaimDevice(c.path.c_str()));
    EXPECT_TRUE(hidLink.claim.held());
    EXPECT_EQ(hidLink.collectionMode, c.collectionMode);

    platform::DeviceClaim other;
    EXPECT_EQ(other.TryAcquire("", c.claimName), platform::DeviceClaim::Outcome::HeldElsewhere);
    hidLink.Close();
    EXPECT_EQ(other.TryAcquire("", c.claimName), platform::DeviceClaim::Outcome::Acquired);
  }
  EXPECT_FALSE(hidLink.ClaimDevice(nullptr));
}

TEST_F(HidLinkTest, ClaimHeldElsewhereIsRefusedAfterReleasingTheOldOne) {
  const std::string first = "/dev/hidraw-" + UniqueSuffix("first");
  const std::string taken = "/dev/hidraw-" + UniqueSuffix("taken");
  platform::DeviceClaim otherInstance;
  ASSERT_EQ(otherInstance.TryAcquire(taken, "hidraw-" + UniqueSuffix("taken")),
            platform::DeviceClaim::Outcome::Acquired);
  ASSERT_TRUE(hidLink.ClaimDevice(first.c_str()));

  EXPECT_FALSE(hidLink.ClaimDevice(taken.c_str()));
  EXPECT_FALSE(hidLink.claim.held());

  platform::DeviceClaim probe;
  EXPECT_EQ(probe.TryAcquire(first, "hidraw-" + UniqueSuffix("first")),
            platform::DeviceClaim::Outcome::Acquired);
}

// Another running instance of the tool: a child process claims the device
// and holds it until the parent closes the pipe. Its exit frees the device.
TEST_F(HidLinkTest, DeviceClaimedByAnotherProcessIsRefusedUntilItExits) {
  const std::string path = "/dev/hidraw-" + UniqueSuffix("process");
  OtherProcess otherInstance;
  char claimed = 0;
  ASSERT_TRUE(otherInstance.Start(
      [this, &path] { return static_cast<char>(hidLink.ClaimDevice(path.c_str()) ? 1 : 0); },
      claimed));
  ASSERT_EQ(claimed, 1);

  EXPECT_FALSE(hidLink.ClaimDevice(path.c_str()));
  EXPECT_FALSE(hidLink.claim.held());

  ASSERT_TRUE(otherInstance.Finish());
  EXPECT_TRUE(hidLink.ClaimDevice(path.c_str()));
}

TEST_F(HidLinkTest, WriteTakesAReportPaddedBeyondItsLength) {
  // hidapi's Windows backend pads a report to the interface's output report
  // length and counts the padding as written.
  sim::VirtualDeviceSetup setup;
  setup.path = "/dev/hidraw-" + UniqueSuffix("padded");
  setup.outputReportLength = 73;
  const int index = bus().AddDevice(setup);
  bus().device(index).SetSilent(true);
  ASSERT_TRUE(hidLink.OpenDevice(setup.path.c_str()));
  const Bytes data = Sequence(70);

  EXPECT_EQ(hidLink.Write(data.data(), 70), 1);
  EXPECT_EQ(bus().writes().size(), 2u);
  EXPECT_NE(hidLink.device, nullptr);
}

// The device takes a request and is gone before its reply: every read fails.
class VanishingClock : public sim::VirtualClock {
 public:
  explicit VanishingClock(int index) : index_(index) {}
  int32_t Now() override {
    sim::VirtualBootloader& device = sim::VirtualHidBus::Instance().device(index_);
    if (!device.trace().empty()) device.Unplug();
    return sim::VirtualClock::Now();
  }

 private:
  int index_;
};

TEST_F(HidLinkTest, FailedReadEndsTheExchangeAtOnceAndClosesTheLink) {
  sim::VirtualDeviceSetup setup;
  setup.path = "/dev/hidraw-" + UniqueSuffix("vanish");
  const int index = bus().AddDevice(setup);
  VanishingClock vanishing(index);
  SetTickSource(&vanishing);
  ASSERT_TRUE(hidLink.OpenDevice(setup.path.c_str()));

  // 63 sectors: the reply may take 126 s, but a device that is gone never sends it.
  EXPECT_FALSE(RomErase(hidLink, 0, 0x3F000));

  EXPECT_EQ(bus().device(index).trace().size(), 1u);
  EXPECT_LE(vanishing.Now(), 5);
  EXPECT_EQ(hidLink.device, nullptr);
  EXPECT_EQ(hidLink.lastFailure.kind, LinkFailure::Kind::ReadFailed);
  EXPECT_EQ(hidLink.lastFailure.detail, "No such device");
}

// Ticks that run up to the 32-bit counter's end and wrap to its start.
class WrappingClock : public TickSource {
 public:
  int32_t Now() override { return static_cast<int32_t>(now_); }
  void Sleep(int32_t ms) override {
    if (ms > 0) now_ += static_cast<uint32_t>(ms);
  }
  uint32_t now_ = 0x7FFFFFFFu - 100;
};

TEST_F(HidLinkTest, TimeOutsAndReportGapsHoldAcrossTheClockWrap) {
  for (const uint32_t start : {0x7FFFFFFFu - 100, 0xFFFFFFFFu - 100}) {
    SCOPED_TRACE(start);
    WrappingClock wrapping;
    wrapping.now_ = start;
    SetTickSource(&wrapping);
    bus().Reset();
    OpenQuietDevice();
    const Bytes request = Sequence(130);  // three reports, each at least 1 ms after the last
    uint8_t reply[2] = {};

    EXPECT_EQ(hidLink.Exchange(request.data(), 130, reply, 2, 200), -1);

    const auto& writes = bus().writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(static_cast<uint32_t>(writes[2].tick) - static_cast<uint32_t>(writes[0].tick), 2u);
    EXPECT_EQ(wrapping.now_ - static_cast<uint32_t>(writes[2].tick), 200u);
    hidLink.Close();
  }
}

#ifndef _WIN32
// A device node as the claim sees it: a file the user may open, or not.
std::string MakeNode(const std::string& tag, mode_t mode) {
  const std::string path = std::string(std::getenv("TMPDIR")) + "/hidraw-" + UniqueSuffix(tag);
  const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, mode);
  EXPECT_GE(fd, 0) << path;
  if (fd >= 0) ::close(fd);
  chmod(path.c_str(), mode);
  return path;
}

// Where claims were once kept: a lock file in TMPDIR named after the path.
std::string TmpdirLockFile(const std::string& path) {
  const std::string name = path.substr(FindIgnoringAsciiCase(path, "hid"));
  return std::string(std::getenv("TMPDIR")) + "/orvel-dfu-" + platform::EscapeLockName(name) +
         ".lock";
}
#endif

// A lock on a file that is not the device, held by another process, must not
// keep the tool from a device that it may open.
TEST_F(HidLinkTest, LockFileInTmpdirDoesNotBlockTheDevice) {
#ifdef _WIN32
  GTEST_SKIP() << "flock on device nodes and lock files; a Windows claim is a named mutex";
#else
  const std::string node = MakeNode("tmpdir-lock", 0600);
  const std::string lockFile = TmpdirLockFile(node);
  OtherProcess holder;
  char locked = 0;
  ASSERT_TRUE(holder.Start(
      [&lockFile] {
        const int fd = ::open(lockFile.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0666);
        return static_cast<char>(fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 1 : 0);
      },
      locked));
  ASSERT_EQ(locked, 1);

  EXPECT_TRUE(hidLink.ClaimDevice(node.c_str()));
  EXPECT_TRUE(hidLink.claim.held());
  unlink(lockFile.c_str());
#endif
}

// Only a user who may open the device node can hold its claim: another
// user's process cannot take it and so cannot block the device.
TEST_F(HidLinkTest, ProcessWithoutAccessToTheNodeCannotHoldItsClaim) {
#ifdef _WIN32
  GTEST_SKIP() << "device nodes, uids and setuid; a Windows claim is a named mutex";
#else
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a process as another user";
  // Everyone may create files in TMPDIR here, as in a shared /tmp.
  char pattern[] = "/tmp/orvel-shared-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string shared = pattern;
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  const std::string ownTmpdir = std::getenv("TMPDIR");
  setenv("TMPDIR", shared.c_str(), 1);
  const std::string node = MakeNode("no-access", 0600);
  OtherProcess otherUser;
  char held = -1;
  ASSERT_TRUE(otherUser.Start(
      [this, &node] {
        if (setgid(65534) != 0 || setuid(65534) != 0) return static_cast<char>(-1);
        hidLink.ClaimDevice(node.c_str());
        return static_cast<char>(hidLink.claim.held() ? 1 : 0);
      },
      held));

  EXPECT_EQ(held, 0);
  EXPECT_TRUE(hidLink.ClaimDevice(node.c_str()));
  EXPECT_TRUE(hidLink.claim.held());
  hidLink.Close();
  otherUser.Finish();
  setenv("TMPDIR", ownTmpdir.c_str(), 1);
  std::error_code ignored;
  std::filesystem::remove_all(shared, ignored);
#endif
}

// A file linked where a lock file belongs is left as it is: the tool neither
// changes its mode nor takes it as a lock, and skips the device.
TEST_F(HidLinkTest, HardLinkAtALockPathKeepsItsMode) {
#ifdef _WIN32
  GTEST_SKIP() << "hard links at lock file paths; a Windows claim is a named mutex";
#else
  const std::string path = "/dev/hidraw-" + UniqueSuffix("hardlink");
  const std::string victim = std::string(std::getenv("TMPDIR")) + "/victim-" + UniqueSuffix("file");
  const int fd = ::open(victim.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ::close(fd);
  ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
  const std::string lockFile =
      platform::ClaimLockFilePath(platform::ClaimLockFolder(), "hidraw-" + UniqueSuffix("hardlink"));
  ASSERT_EQ(link(victim.c_str(), lockFile.c_str()), 0);

  EXPECT_FALSE(hidLink.ClaimDevice(path.c_str()));
  EXPECT_FALSE(hidLink.claim.held());
  EXPECT_EQ(hidLink.lastFailure.kind, LinkFailure::Kind::ClaimUnusable);
  EXPECT_EQ(hidLink.lastFailure.detail, lockFile);

  struct stat info {};
  ASSERT_EQ(stat(victim.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  unlink(lockFile.c_str());
  unlink(victim.c_str());
#endif
}

}  // namespace
