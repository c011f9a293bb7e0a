// The virtual bootloader: replies byte for byte, NOR flash behaviour, range
// checks, faults and the trace lines.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "virtual_bootloader.h"

namespace {

using sim::Fault;
using sim::FaultEffect;
using sim::Report;
using sim::RequestKind;
using sim::VirtualBootloader;
using Bytes = std::vector<uint8_t>;

Report MakeReport(const Bytes& bytes) {
  Report report{};
  for (size_t i = 0; i < bytes.size() && i < report.size(); ++i) report[i] = bytes[i];
  return report;
}

Bytes Le32(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Report Probe() { return MakeReport({0x1A, 0x55}); }
Report Erase(uint32_t address, uint16_t count) {
  return MakeReport(Cat(Cat({0x1A, 0x64}, Le32(address)), {uint8_t(count), uint8_t(count >> 8)}));
}
Report Start(uint32_t address, uint32_t length) {
  return MakeReport(Cat(Cat({0x1A, 0x61}, Le32(address)), Le32(length)));
}
Report Data(uint8_t fill, size_t count = 62) {
  Report report{};
  report[0] = 0x1A;
  report[1] = 0x62;
  for (size_t i = 0; i < count; ++i) report[2 + i] = fill;
  for (size_t i = count; i < 62; ++i) report[2 + i] = 0xFF;
  return report;
}
Report Read(uint32_t address, uint16_t count) {
  return MakeReport(Cat(Cat({0x1A, 0x60}, Le32(address)), {uint8_t(count), uint8_t(count >> 8)}));
}
Report Restart() { return MakeReport({0x1A, 0x57, 0x01}); }

// The bytes of the only reply, or an empty vector when there is none.
Bytes OnlyReply(VirtualBootloader& chip, const Report& request) {
  const sim::HandleResult result = chip.HandleReport(request);
  EXPECT_TRUE(result.accepted);
  EXPECT_LE(result.replies.size(), 1u);
  if (result.replies.empty()) return {};
  return Bytes(result.replies[0].bytes.begin(), result.replies[0].bytes.end());
}

Bytes Padded(const Bytes& bytes) {
  Bytes padded = bytes;
  padded.resize(64, 0x00);
  return padded;
}

struct ReplyCase {
  const char* name;
  Report request;
  Bytes reply;  // empty: no reply
};

TEST(VirtualBootloaderTest, AnswersEachCommandByteForByte) {
  const ReplyCase cases[] = {
      {"probe", Probe(), Padded({0x1A, 0x55})},
      {"erase", Erase(0x1800, 2), Padded({0x1A, 0x64, 0x00, 0x18, 0x00, 0x00, 0x02, 0x00})},
      {"start", Start(0xA000, 0x1F40),
       Padded({0x1A, 0x61, 0x00, 0xA0, 0x00, 0x00, 0x40, 0x1F, 0x00, 0x00})},
      {"read", Read(0x10, 5), Padded({0x1A, 0x60, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
      {"read of 62", Read(0, 62), Padded(Cat({0x1A, 0x60}, Bytes(62, 0xFF)))},
      {"restart", Restart(), {}},
      {"data without a download", Data(0x00), {}},
      {"wrong lead byte", MakeReport({0x1B, 0x55}), {}},
      {"unknown command", MakeReport({0x1A, 0x42}), {}},
  };
  for (const ReplyCase& c : cases) {
    VirtualBootloader chip;
    EXPECT_EQ(OnlyReply(chip, c.request), c.reply) << c.name;
  }
}

TEST(VirtualBootloaderTest, RefusesRequestsOutsideTheFlash) {
  const ReplyCase cases[] = {
      {"erase of no sector", Erase(0x1000, 0), {}},
      {"erase past the end", Erase(0xFF000, 2), {}},
      {"erase beyond the flash", Erase(0x100000, 1), {}},
      {"start of nothing", Start(0x1000, 0), {}},
      {"start past the end", Start(0xFFFFF, 2), {}},
      {"start wrapping around", Start(0xFFFFFFFF, 2), {}},
      {"read of nothing", Read(0, 0), {}},
      {"read of 63", Read(0, 63), {}},
      {"read past the end", Read(0xFFFFE, 3), {}},
      {"read beyond the flash", Read(0x100000, 1), {}},
  };
  for (const ReplyCase& c : cases) {
    VirtualBootloader chip;
    chip.flash().assign(chip.flash().size(), 0x00);
    EXPECT_EQ(OnlyReply(chip, c.request), c.reply) << c.name;
    EXPECT_EQ(chip.flash(), Bytes(chip.flash().size(), 0x00)) << c.name;
  }
}

TEST(VirtualBootloaderTest, FlashSizeSetsTheLimits) {
  for (uint32_t size : {256u << 10, 512u << 10, 1u << 20}) {
    VirtualBootloader chip(size);
    EXPECT_EQ(chip.flash().size(), size);
    EXPECT_FALSE(OnlyReply(chip, Erase(size - 1, 1)).empty()) << size;
    EXPECT_TRUE(OnlyReply(chip, Erase(size - 4096, 2)).empty()) << size;
    EXPECT_FALSE(OnlyReply(chip, Read(size - 1, 1)).empty()) << size;
    EXPECT_TRUE(OnlyReply(chip, Read(size, 1)).empty()) << size;
  }
}

TEST(VirtualBootloaderTest, EraseCoversWholeSectorsFromTheOneHoldingTheAddress) {
  VirtualBootloader chip;
  chip.flash().assign(chip.flash().size(), 0x00);
  ASSERT_FALSE(OnlyReply(chip, Erase(0x1800, 2)).empty());
  EXPECT_EQ(chip.flash()[0x0FFF], 0x00);
  for (uint32_t a = 0x1000; a < 0x3000; ++a) ASSERT_EQ(chip.flash()[a], 0xFF) << a;
  EXPECT_EQ(chip.flash()[0x3000], 0x00);
}

TEST(VirtualBootloaderTest, DownloadProgramsInOrderAndAcksTheLastPacketWith71) {
  VirtualBootloader chip;
  ASSERT_FALSE(OnlyReply(chip, Start(0x2000, 63)).empty());
  EXPECT_EQ(OnlyReply(chip, Data(0x12)), Padded({0x1A, 0x70, 0x00}));
  Report last = Data(0x00, 1);
  last[2] = 0x34;
  EXPECT_EQ(OnlyReply(chip, last), Padded({0x1A, 0x71, 0x00}));
  EXPECT_TRUE(OnlyReply(chip, Data(0x00)).empty()) << "download already complete";

  const std::vector<uint8_t>& flash = chip.flash();
  EXPECT_EQ(flash[0x1FFF], 0xFF);
  for (uint32_t a = 0x2000; a < 0x203E; ++a) ASSERT_EQ(flash[a], 0x12) << a;
  EXPECT_EQ(flash[0x203E], 0x34);
  EXPECT_EQ(flash[0x203F], 0xFF) << "the packet's filler is not programmed";
}

TEST(VirtualBootloaderTest, ProgrammingOverUnerasedFlashOnlyClearsBits) {
  VirtualBootloader chip;
  ASSERT_FALSE(OnlyReply(chip, Start(0, 62)).empty());
  ASSERT_FALSE(OnlyReply(chip, Data(0xF0)).empty());
  ASSERT_FALSE(OnlyReply(chip, Start(0, 62)).empty());
  ASSERT_FALSE(OnlyReply(chip, Data(0x3C)).empty());
  EXPECT_EQ(chip.flash()[0], 0x30);
  EXPECT_EQ(chip.flash()[61], 0x30);

  ASSERT_FALSE(OnlyReply(chip, Erase(0, 1)).empty());
  ASSERT_FALSE(OnlyReply(chip, Start(0, 62)).empty());
  ASSERT_FALSE(OnlyReply(chip, Data(0x3C)).empty());
  EXPECT_EQ(chip.flash()[0], 0x3C);
}

TEST(VirtualBootloaderTest, RefusedStartEndsTheDownloadInProgress) {
  VirtualBootloader chip;
  ASSERT_FALSE(OnlyReply(chip, Start(0, 124)).empty());
  ASSERT_TRUE(OnlyReply(chip, Start(0, 0)).empty());
  EXPECT_TRUE(OnlyReply(chip, Data(0x00)).empty());
  EXPECT_EQ(chip.flash()[0], 0xFF);
}

TEST(VirtualBootloaderTest, NoiseFollowsEveryProbeEcho) {
  VirtualBootloader chip;
  chip.SetNoise(2);
  for (int round = 0; round < 2; ++round) {
    const sim::HandleResult result = chip.HandleReport(Probe());
    ASSERT_EQ(result.replies.size(), 3u);
    EXPECT_EQ(Bytes(result.replies[0].bytes.begin(), result.replies[0].bytes.end()),
              Padded({0x1A, 0x55}));
    for (size_t i = 1; i < 3; ++i) {
      EXPECT_EQ(Bytes(result.replies[i].bytes.begin(), result.replies[i].bytes.end()),
                Bytes(64, 0xEE));
    }
  }
  EXPECT_EQ(chip.HandleReport(Read(0, 1)).replies.size(), 1u) << "no noise after other commands";

  chip.SetNoise(5, 2);  // two a millisecond
  const sim::HandleResult spread = chip.HandleReport(Probe());
  std::vector<int32_t> delays;
  for (const sim::Reply& reply : spread.replies) delays.push_back(reply.delayMs);
  EXPECT_EQ(delays, (std::vector<int32_t>{0, 0, 0, 1, 1, 2}));
}

TEST(VirtualBootloaderTest, RestartLeavesTheBootloaderButStillTracesLaterReports) {
  VirtualBootloader chip;
  for (int i = 0; i < 3; ++i) {
    const sim::HandleResult result = chip.HandleReport(Restart());
    EXPECT_TRUE(result.accepted);
    EXPECT_TRUE(result.replies.empty());
    EXPECT_TRUE(chip.restarted());
  }
  EXPECT_TRUE(OnlyReply(chip, Probe()).empty());
  ASSERT_EQ(chip.trace().size(), 4u);
  EXPECT_EQ(chip.trace()[2].kind, RequestKind::Restart);
  EXPECT_EQ(chip.trace()[3].kind, RequestKind::Probe);
}

TEST(VirtualBootloaderTest, SilentChipTracesButNeverAnswersNorActs) {
  VirtualBootloader chip;
  chip.flash()[0] = 0x00;
  chip.SetSilent(true);
  EXPECT_TRUE(OnlyReply(chip, Probe()).empty());
  EXPECT_TRUE(OnlyReply(chip, Erase(0, 1)).empty());
  EXPECT_EQ(chip.flash()[0], 0x00);
  EXPECT_EQ(chip.trace().size(), 2u);
  chip.SetSilent(false);
  EXPECT_FALSE(OnlyReply(chip, Probe()).empty());
}

// Flash all 0x00, so that an erase that took effect shows.
void PrepareForFaults(VirtualBootloader& chip) {
  chip.flash().assign(chip.flash().size(), 0x00);
}

// A 62-byte read of all-0x00 flash with bit 0 of data byte `byte` flipped.
Bytes FullReadFlipped(size_t byte) {
  Bytes reply = Padded({0x1A, 0x60});
  reply[2 + byte] = 0x01;
  return reply;
}

struct FaultCase {
  const char* name;
  Fault fault;
  std::vector<Report> requests;
  std::vector<Bytes> replies;   // per request; empty: none
  uint8_t flashByte0;           // after the requests
};

TEST(VirtualBootloaderTest, FaultsHitTheNthRequestOfTheirKind) {
  const Bytes probeEcho = Padded({0x1A, 0x55});
  const Bytes eraseEcho = Padded({0x1A, 0x64, 0, 0, 0, 0, 1, 0});
  const Bytes eraseWrong = Padded({0x1A, 0x00, 0, 0, 0, 0, 1, 0});
  const Bytes readGood = Padded({0x1A, 0x60, 0x00, 0x00});
  const FaultCase cases[] = {
      {"second probe silent", {RequestKind::Probe, 2, FaultEffect::Silent, 0},
       {Probe(), Probe(), Probe()}, {probeEcho, {}, probeEcho}, 0x00},
      {"probe wrong", {RequestKind::Probe, 1, FaultEffect::Wrong, 0},
       {Probe(), Probe()}, {Padded({0x1A, 0x00}), probeEcho}, 0x00},
      {"erase silent does not erase", {RequestKind::Erase, 1, FaultEffect::Silent, 0},
       {Erase(0, 1)}, {{}}, 0x00},
      {"erase wrong still erases", {RequestKind::Erase, 1, FaultEffect::Wrong, 0},
       {Erase(0, 1)}, {eraseWrong}, 0xFF},
      {"start wrong", {RequestKind::Start, 1, FaultEffect::Wrong, 0},
       {Start(0x10, 1)}, {Padded({0x1A, 0x00, 0x10, 0, 0, 0, 1, 0, 0, 0})}, 0x00},
      {"data wrong", {RequestKind::Data, 2, FaultEffect::Wrong, 0},
       {Erase(0, 1), Start(0, 124), Data(0xAB), Data(0xAB)},
       {eraseEcho, Padded({0x1A, 0x61, 0, 0, 0, 0, 124, 0, 0, 0}), Padded({0x1A, 0x70, 0}),
        Padded({0x1A, 0x00, 0})},
       0xAB},
      {"read wrong", {RequestKind::Read, 1, FaultEffect::Wrong, 0},
       {Read(0, 2), Read(0, 2)}, {Padded({0x1A, 0x61, 0x00, 0x00}), readGood}, 0x00},
      {"read flip", {RequestKind::Read, 2, FaultEffect::Flip, 0},
       {Read(0, 2), Read(0, 2), Read(0, 2)}, {readGood, Padded({0x1A, 0x60, 0x01, 0x00}), readGood},
       0x00},
      {"read flip=1", {RequestKind::Read, 1, FaultEffect::Flip, 0, 1},
       {Read(0, 2)}, {Padded({0x1A, 0x60, 0x00, 0x01})}, 0x00},
      {"read flip=61: the last byte of a full reply", {RequestKind::Read, 1, FaultEffect::Flip, 0, 61},
       {Read(0, 62)}, {FullReadFlipped(61)}, 0x00},
      {"read flip=40 past a 2-byte reply flips its last", {RequestKind::Read, 1, FaultEffect::Flip, 0, 40},
       {Read(0, 2)}, {Padded({0x1A, 0x60, 0x00, 0x01})}, 0x00},
      {"flip on a probe acts as wrong", {RequestKind::Probe, 1, FaultEffect::Flip, 0},
       {Probe()}, {Padded({0x1A, 0x00})}, 0x00},
  };
  for (const FaultCase& c : cases) {
    VirtualBootloader chip;
    PrepareForFaults(chip);
    chip.AddFault(c.fault);
    ASSERT_EQ(c.requests.size(), c.replies.size()) << c.name;
    for (size_t i = 0; i < c.requests.size(); ++i) {
      EXPECT_EQ(OnlyReply(chip, c.requests[i]), c.replies[i]) << c.name << " request " << i;
    }
    EXPECT_EQ(chip.flash()[0], c.flashByte0) << c.name;
    EXPECT_EQ(chip.trace().size(), c.requests.size()) << c.name;
  }
}

TEST(VirtualBootloaderTest, FlipsThatMeetOnTheLastByteOfAShortReplyFlipItOnce) {
  VirtualBootloader chip;
  PrepareForFaults(chip);
  chip.AddFault({RequestKind::Read, 1, FaultEffect::Flip, 0, 30});
  chip.AddFault({RequestKind::Read, 1, FaultEffect::Flip, 0, 61});
  EXPECT_EQ(OnlyReply(chip, Read(0, 3)), Padded({0x1A, 0x60, 0x00, 0x00, 0x01}));
}

TEST(VirtualBootloaderTest, DelayedReplyComesLateAndTheCommandStillActs) {
  VirtualBootloader chip;
  chip.AddFault({RequestKind::Erase, 1, FaultEffect::Delay, 300});
  chip.flash()[0] = 0x00;
  const sim::HandleResult result = chip.HandleReport(Erase(0, 1));
  ASSERT_EQ(result.replies.size(), 1u);
  EXPECT_EQ(result.replies[0].delayMs, 300);
  EXPECT_EQ(chip.flash()[0], 0xFF);
  EXPECT_EQ(chip.HandleReport(Erase(0, 1)).replies.at(0).delayMs, 0);
}

TEST(VirtualBootloaderTest, UnplugFailsThisAndEveryLaterWrite) {
  VirtualBootloader chip;
  chip.AddFault({RequestKind::Data, 2, FaultEffect::Unplug, 0});
  ASSERT_FALSE(OnlyReply(chip, Start(0, 186)).empty());
  ASSERT_FALSE(OnlyReply(chip, Data(0x00)).empty());
  EXPECT_FALSE(chip.unplugged());

  const sim::HandleResult unplugging = chip.HandleReport(Data(0x00));
  EXPECT_FALSE(unplugging.accepted);
  EXPECT_TRUE(unplugging.replies.empty());
  EXPECT_TRUE(chip.unplugged());
  EXPECT_EQ(chip.flash()[62], 0xFF) << "the unplugging packet is not programmed";

  const sim::HandleResult later = chip.HandleReport(Probe());
  EXPECT_FALSE(later.accepted);
  EXPECT_TRUE(later.replies.empty());
  ASSERT_EQ(chip.trace().size(), 3u) << "reports after the unplug never reach the chip";
  EXPECT_EQ(chip.trace()[2].kind, RequestKind::Data);
}

TEST(VirtualBootloaderTest, FormatsTraceLines) {
  Report other = MakeReport({0x00, 0x1A, 0x55});
  other[63] = 0xC3;
  const std::string otherHex = "001A55" + std::string(120, '0') + "C3";
  std::string dataHex = "A5";
  for (int i = 0; i < 61; ++i) dataHex += "FF";
  struct LineCase {
    int device;
    Report report;
    std::string line;
  };
  const LineCase cases[] = {
      {0, Probe(), "dev0 probe"},
      {1, Erase(0xA000, 2), "dev1 erase 0x0000A000 2"},
      {0, Erase(0x12345678, 65535), "dev0 erase 0x12345678 65535"},
      {0, Start(0xA000, 0x1F40), "dev0 start 0x0000A000 0x00001F40"},
      {2, Data(0xA5, 1), "dev2 data " + dataHex},
      {0, Read(0xFFFFFFC1, 62), "dev0 read 0xFFFFFFC1 62"},
      {0, Restart(), "dev0 restart"},
      {12, other, "dev12 other " + otherHex},
      {0, MakeReport({0x1B, 0x55}), "dev0 other 1B55" + std::string(124, '0')},
      {0, MakeReport({0x1A, 0x70}), "dev0 other 1A70" + std::string(124, '0')},
  };
  for (const LineCase& c : cases) {
    const sim::VirtualBootloader::Request request{sim::ClassifyRequest(c.report), c.report};
    EXPECT_EQ(sim::FormatTraceLine(c.device, request), c.line);
  }
}

}  // namespace
