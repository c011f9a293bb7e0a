// The plan of a dry run: packet counts that match what a job really sends
// to a virtual bootloader, and the CRC-32 it prints.
#include "dfu/job_plan.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/crc32.h"
#include "job_fixture.h"

namespace {

using job_test::AddBootloader;
using job_test::Pattern;
using job_test::SimJobTest;
using sim::RequestKind;

using JobPlanTest = SimJobTest;

TEST_F(JobPlanTest, CountsMatchTheJobOnAVirtualBootloader) {
  struct Case {
    const char* name;
    std::vector<std::pair<uint32_t, uint32_t>> programs;  // start, length
    uint8_t mode;
    JobPacketCounts expected;
  };
  const std::vector<Case> cases = {
      {"one program", {{0xA000, 0x1F40}}, 0, {1, 1, 1, 130, 130, 3}},
      {"download only", {{0xA000, 0x1F40}}, 1, {1, 1, 1, 130, 0, 3}},
      {"one packet and two", {{0x0000, 62}, {0x0100, 63}}, 0, {1, 1, 2, 3, 3, 3}},
      {"two regions", {{0x0000, 0x1800}, {0x3000, 0x100}}, 1, {1, 2, 2, 100 + 5, 0, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    for (const auto& [start, length] : c.programs) AddProgram(start, Pattern(length, 7));
    theDfuSettings.mode = c.mode;
    const JobPacketCounts counts = PlanJob(theProgramImageList.images, c.mode).packets;
    const uint32_t expected[] = {c.expected.probe, c.expected.erase, c.expected.downloadStart,
                                 c.expected.downloadData, c.expected.read, c.expected.restart};
    const uint32_t counted[] = {counts.probe, counts.erase, counts.downloadStart,
                                counts.downloadData, counts.read, counts.restart};
    EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), std::begin(counted)));

    const int device = AddBootloader();
    ASSERT_TRUE(RunDfuJob());
    const RequestKind kinds[] = {RequestKind::Probe, RequestKind::Erase, RequestKind::Start,
                                 RequestKind::Data,  RequestKind::Read,  RequestKind::Restart};
    for (size_t k = 0; k < std::size(kinds); ++k) {
      EXPECT_EQ(static_cast<uint32_t>(CountRequests(device, kinds[k])), counted[k]) << "kind " << k;
    }
    EXPECT_EQ(Device(device).trace().size(), counts.Total());
  }
}

// Byte i is i * 7 + 3.
std::string DifferingBytes(size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i * 7 + 3);
  return bytes;
}

// The check values of the CRC-32 that zlib and the crc32 tool compute.
TEST(Crc32, MatchesZlib) {
  const struct {
    std::string bytes;
    uint32_t crc;
  } cases[] = {
      {"", 0x00000000},
      {"a", 0xE8B7BE43},
      {"123456789", 0xCBF43926},
      {std::string(256, '\xFF'), 0xFEA8A821},
      // Bytes that all differ, across the eight-byte steps and the bytes left over.
      {DifferingBytes(7), 0x54491CDB},
      {DifferingBytes(8), 0xE2E35978},
      {DifferingBytes(15), 0x7C619EDC},
      {DifferingBytes(16), 0x191F3D9F},
      {DifferingBytes(17), 0x7BA75EE3},
      {DifferingBytes(1000), 0x17BC2A46},
      {DifferingBytes(1000).substr(1), 0x6AA56D54},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Crc32(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()), c.crc) << c.bytes.size();
  }
}

}  // namespace
