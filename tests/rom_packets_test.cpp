// The bootloader's command packets byte for byte, and the judging of their
// replies against the virtual bootloader.
#include "dfu/rom_packets.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/ticks.h"
#include "device/hid_link.h"
#include "virtual_hid_bus.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes PacketBytes(const RomPacket& packet) {
  return Bytes(packet.bytes.begin(), packet.bytes.begin() + packet.length);
}

Bytes Sequence(size_t count, uint8_t first) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

struct BuildCase {
  const char* name;
  RomPacket packet;
  Bytes expected;
};

TEST(RomPacketBuild, LaysOutEveryCommand) {
  const Bytes data63 = Sequence(63, 0x10);
  Bytes fullData = {0x1A, 0x62};
  fullData.insert(fullData.end(), data63.begin(), data63.begin() + 62);
  Bytes lastData = {0x1A, 0x62, 0x4E};
  lastData.resize(64, 0xFF);
  Bytes threeData = {0x1A, 0x62, 0x10, 0x11, 0x12};
  threeData.resize(64, 0xFF);

  const BuildCase cases[] = {
      {"probe", BuildProbe(), {0x1A, 0x55}},
      {"restart", BuildRestart(), {0x1A, 0x57, 0x01}},
      {"read", BuildReadFlash(0x0007F000, 62), {0x1A, 0x60, 0x00, 0xF0, 0x07, 0x00, 0x3E, 0x00}},
      {"read, wide fields", BuildReadFlash(0x12345678, 0x0102),
       {0x1A, 0x60, 0x78, 0x56, 0x34, 0x12, 0x02, 0x01}},
      {"download start", BuildDownloadStart(0xA000, 0x1F40),
       {0x1A, 0x61, 0x00, 0xA0, 0x00, 0x00, 0x40, 0x1F, 0x00, 0x00}},
      {"erase", BuildEraseSectors(0x1800, 2), {0x1A, 0x64, 0x00, 0x18, 0x00, 0x00, 0x02, 0x00}},
      {"erase, 63 sectors", BuildEraseSectors(0, 63),
       {0x1A, 0x64, 0x00, 0x00, 0x00, 0x00, 0x3F, 0x00}},
      {"full data packet", BuildDownloadData(data63.data(), 62), fullData},
      {"last data packet of 63 bytes", BuildDownloadData(data63.data() + 62, 1), lastData},
      {"three data bytes", BuildDownloadData(data63.data(), 3), threeData},
  };
  for (const BuildCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PacketBytes(c.packet), c.expected);
  }
}

struct SectorCase {
  uint32_t address;
  uint32_t length;
  uint32_t sectors;
};

TEST(RomPacketBuild, EraseCountsEverySectorTheSpanTouches) {
  const SectorCase cases[] = {
      {0x0000, 1, 1},          {0x0000, 0x1000, 1},     {0x0000, 0x1001, 2},
      {0x1800, 0x1000, 2},     {0x1000, 0x1000, 1},     {0x0FFF, 2, 2},
      {0x0000, 0x3F000, 63},   {0xA000, 0x1F40, 2},     {0x0000, 0, 0},
      {0xFFFFF000, 0x1000, 1}, {0xFFFFFFFF, 1, 1},
  };
  for (const SectorCase& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.address << " + " << c.length);
    EXPECT_EQ(EraseSectorCount(c.address, c.length), c.sectors);
  }
}

class RomPacketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetTickSource(&clock);
    StartOnFreshDevice();
  }

  void StartOnFreshDevice() {
    hidLink.Close();
    bus().Reset();
    sim::VirtualDeviceSetup setup;
    setup.path = "/dev/hidraw-rom-" + std::to_string(getpid());
    index = bus().AddDevice(setup);
    ASSERT_TRUE(hidLink.OpenDevice(setup.path.c_str()));
  }
  void TearDown() override {
    hidLink.Close();
    SetTickSource(nullptr);
    bus().Reset();
  }

  static sim::VirtualHidBus& bus() { return sim::VirtualHidBus::Instance(); }
  sim::VirtualBootloader& device() { return bus().device(index); }

  // The report the device last received, cut to length.
  Bytes LastRequest(size_t length) {
    const auto& report = device().trace().back().report;
    return Bytes(report.begin(), report.begin() + static_cast<long>(length));
  }

  // The device answers nothing itself; the test hands it the reply.
  void ReplyWith(const Bytes& reply) {
    device().SetSilent(true);
    bus().QueueInput(index, reply, 0);
  }

  sim::VirtualClock clock;
  HidLink hidLink;  // on the process clock, which is the test's
  int index = 0;
};

struct ReplyCase {
  const char* name;
  std::function<bool()> run;
  sim::RequestKind kind;
  int32_t timeoutMs;
};

// Every command with a reply: good from the bootloader, bad when its reply is
// wrong, and a time-out exactly at the command's limit when it stays silent.
TEST_F(RomPacketTest, JudgesRepliesAndWaitsTheCommandsTime) {
  uint8_t readOut[62] = {};
  const uint8_t data[62] = {0x5A};
  const ReplyCase cases[] = {
      {"probe", [this] { return RomProbe(hidLink); }, sim::RequestKind::Probe, 200},
      {"erase one sector", [this] { return RomErase(hidLink, 0x2000, 1); }, sim::RequestKind::Erase, 2000},
      {"erase 63 sectors", [this] { return RomErase(hidLink, 0, 0x3F000); }, sim::RequestKind::Erase, 126000},
      // 0x1000 bytes from 0x1800 touch two sectors: two sectors' time.
      {"erase across a sector boundary", [this] { return RomErase(hidLink, 0x1800, 0x1000); },
       sim::RequestKind::Erase, 4000},
      {"download start", [this] { return RomDownloadStart(hidLink, 0xA000, 0x1F40); },
       sim::RequestKind::Start, 1000},
      {"download data", [&] { return RomDownloadData(hidLink, data, 62); }, sim::RequestKind::Data, 1000},
      {"read", [&] { return RomRead(hidLink, 0x3000, 62, readOut); }, sim::RequestKind::Read, 1000},
  };
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.name);
    // Data needs a download in progress to be acknowledged.
    const bool needsStart = c.kind == sim::RequestKind::Data;

    if (needsStart) {
      ASSERT_TRUE(RomDownloadStart(hidLink, 0x4000, 0x1000));
    }
    EXPECT_TRUE(c.run());

    device().AddFault({c.kind, 2, sim::FaultEffect::Wrong, 0});
    if (needsStart) {
      ASSERT_TRUE(RomDownloadStart(hidLink, 0x5000, 0x1000));
    }
    EXPECT_FALSE(c.run());

    device().AddFault({c.kind, 3, sim::FaultEffect::Silent, 0});
    if (needsStart) {
      ASSERT_TRUE(RomDownloadStart(hidLink, 0x6000, 0x1000));
    }
    const int32_t before = clock.Now();
    EXPECT_FALSE(c.run());
    EXPECT_EQ(clock.Now() - before, c.timeoutMs);
    EXPECT_NE(hidLink.device, nullptr);

    StartOnFreshDevice();
  }
}

struct EraseCase {
  uint32_t address;
  uint32_t length;
  Bytes request;
};

TEST_F(RomPacketTest, EraseSendsTheAddressUnchangedWithTheTouchedSectors) {
  const EraseCase cases[] = {
      {0x0000, 1, {0x1A, 0x64, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00}},
      {0x1800, 0x1000, {0x1A, 0x64, 0x00, 0x18, 0x00, 0x00, 0x02, 0x00}},
      {0x0000, 0x3F000, {0x1A, 0x64, 0x00, 0x00, 0x00, 0x00, 0x3F, 0x00}},
  };
  for (const EraseCase& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.address << " + " << c.length);
    device().flash().assign(device().flash().size(), 0x00);

    EXPECT_TRUE(RomErase(hidLink, c.address, c.length));

    EXPECT_EQ(LastRequest(64), [&] { Bytes b = c.request; b.resize(64, 0); return b; }());
    // Every byte of the span is erased, also past a sector boundary it crosses.
    for (uint32_t a = c.address; a < c.address + c.length; ++a) {
      ASSERT_EQ(device().flash()[a], 0xFF) << std::hex << a;
    }
  }
}

TEST_F(RomPacketTest, DownloadOfSixtyThreeBytesTakesTwoPaddedPackets) {
  const Bytes program = Sequence(63, 0x20);
  ASSERT_TRUE(RomDownloadStart(hidLink, 0xA000, 63));
  EXPECT_EQ(LastRequest(10), (Bytes{0x1A, 0x61, 0x00, 0xA0, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00}));

  EXPECT_TRUE(RomDownloadData(hidLink, program.data(), 62));
  EXPECT_TRUE(RomDownloadData(hidLink, program.data() + 62, 1));

  Bytes last = {0x1A, 0x62, program[62]};
  last.resize(64, 0xFF);
  EXPECT_EQ(LastRequest(64), last);
  const auto& flash = device().flash();
  EXPECT_EQ(Bytes(flash.begin() + 0xA000, flash.begin() + 0xA000 + 63), program);
  EXPECT_EQ(flash[0xA000 + 63], 0xFF);
}

struct AckCase {
  Bytes reply;
  bool accepted;
};

TEST_F(RomPacketTest, DataAcknowledgementsAreJudgedByTheirFirstTwoBytes) {
  const AckCase cases[] = {
      {{0x1A, 0x70, 0x00}, true},  {{0x1A, 0x71, 0x00}, true},  {{0x1A, 0x70, 0xEE}, true},
      {{0x1A, 0x72, 0x00}, false}, {{0x1B, 0x70, 0x00}, false}, {{0x1A, 0x62, 0x00}, false},
  };
  const uint8_t data[1] = {0x42};
  for (const AckCase& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << int(c.reply[0]) << " " << int(c.reply[1]));
    ReplyWith(c.reply);
    EXPECT_EQ(RomDownloadData(hidLink, data, 1), c.accepted);
  }
}

struct ReadCase {
  int32_t count;
  Bytes header;
  bool good;
};

TEST_F(RomPacketTest, ReadTakesCountPlusTwoBytesAndChecksTheHeader) {
  const ReadCase cases[] = {
      {62, {0x1A, 0x60}, true}, {5, {0x1A, 0x60}, true}, {1, {0x1A, 0x60}, true},
      {5, {0x1A, 0x61}, false}, {5, {0x1B, 0x60}, false},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.count << " " << std::hex << int(c.header[1]));
    Bytes reply = c.header;
    const Bytes payload = Sequence(62, 0x80);
    reply.insert(reply.end(), payload.begin(), payload.end());
    // A report of exactly count + 2 bytes: asking for more or fewer fails.
    reply.resize(static_cast<size_t>(c.count) + 2);
    ReplyWith(reply);
    Bytes out(64, 0xEE);

    EXPECT_EQ(RomRead(hidLink, 0x12345678, c.count, out.data()), c.good);

    Bytes request = {0x1A, 0x60, 0x78, 0x56, 0x34, 0x12, static_cast<uint8_t>(c.count), 0x00};
    EXPECT_EQ(LastRequest(8), request);
    Bytes expected(64, 0xEE);
    if (c.good) std::copy(payload.begin(), payload.begin() + c.count, expected.begin());
    EXPECT_EQ(out, expected);
  }
}

TEST_F(RomPacketTest, RestartWritesOnePacketAndReadsNothing) {
  RomRestart(hidLink);
  RomRestart(hidLink);
  RomRestart(hidLink);

  ASSERT_EQ(bus().writes().size(), 3u);
  Bytes report(65, 0);
  report[1] = 0x1A;
  report[2] = 0x57;
  report[3] = 0x01;
  for (const auto& write : bus().writes()) EXPECT_EQ(write.buffer, report);
  EXPECT_TRUE(device().restarted());
  EXPECT_EQ(clock.Now(), 0);

  hidLink.Close();
  RomRestart(hidLink);  // no device: nothing to do, nothing to report
  EXPECT_EQ(bus().writes().size(), 3u);
}

}  // namespace
