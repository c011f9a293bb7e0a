#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image/program_image.h"
#include "image_test_files.h"

namespace {

using image_test::CountingBytes;
using image_test::HexLine;

TEST(HexRecord, ValidLinesFillEveryField) {
  HexRecord record;
  ASSERT_TRUE(ParseHexRecord(":04A0F000DEADbeef34", record));
  EXPECT_EQ(record.count, 4);
  EXPECT_EQ(record.offset, 0xA0F0);
  EXPECT_EQ(record.type, 0x00);
  EXPECT_EQ(std::vector<uint8_t>(record.data, record.data + 4),
            (std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0xEF}));

  ASSERT_TRUE(ParseHexRecord(":00000001FF", record));
  EXPECT_EQ(record.count, 0);
  EXPECT_EQ(record.type, 0x01);

  ASSERT_TRUE(ParseHexRecord(":020000040800F2", record));
  EXPECT_EQ(record.type, 0x04);
  EXPECT_EQ(record.data[0], 0x08);
  EXPECT_EQ(record.data[1], 0x00);

  const std::vector<uint8_t> full = CountingBytes(64, 0x80);
  ASSERT_TRUE(ParseHexRecord(HexLine(0x00, 0xFFC0, full), record));
  EXPECT_EQ(record.count, 64);
  EXPECT_EQ(record.offset, 0xFFC0);
  EXPECT_EQ(std::vector<uint8_t>(record.data, record.data + 64), full);

  // Types the loader ignores are still parsed.
  ASSERT_TRUE(ParseHexRecord(HexLine(0x07, 0x1234, {1, 2, 3}), record));
  EXPECT_EQ(record.type, 0x07);
  EXPECT_EQ(record.count, 3);
}

TEST(HexRecord, InvalidLinesAreRefused) {
  const std::string good = HexLine(0x00, 0x0010, {0x11, 0x22});  // :020010001122BB
  const std::string sixtyFive = HexLine(0x00, 0, CountingBytes(65));
  const std::string badChecksum = good.substr(0, good.size() - 2) + "BC";
  const std::string longerCount = ":030010001122BA";  // sums to 0, count says 3
  const struct {
    const char* why;
    std::string line;
  } cases[] = {
      {"empty", ""},
      {"ten characters", ":00000001F"},
      {"no colon", "0000000001FF"},
      {"blank before colon", " :00000001FF"},
      {"blank after checksum", ":00000001FF "},
      {"even length", ":00000001FF0"},
      {"wrong checksum", badChecksum},
      {"65 data bytes", sixtyFive},
      {"count does not match the length", longerCount},
      {"byte-order mark", "\xEF\xBB\xBF:00000001FF"},
      {"non-hex digit in data", ":0200100011G2BB"},
      {"non-hex digit in checksum", ":00000001FG"},
      {"sign in a byte", ":0100000-0000"},
      {"blank inside", ":02001000 122BB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    HexRecord record;
    EXPECT_FALSE(ParseHexRecord(c.line, record));
  }
  HexRecord record;
  EXPECT_TRUE(ParseHexRecord(good, record));
}

TEST(HexRecord, HexPathsByExtension) {
  const struct {
    const char* path;
    bool hex;
  } cases[] = {
      {"app.hex", true},
      {"FIRMWARE.HEX", true},
      {"app.Hex", true},
      {"dir/sub.x/app.hex", true},
      {"C:\\fw\\app.hEx", true},
      {".hex", true},
      {"app.hex.bak", false},
      {"app", false},
      {"dir.hex/app", false},
      {"dir.hex\\app", false},
      {"app.hex ", false},
      {"app.hexx", false},
      {"app.he", false},
      {"app.bin", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(IsHexPath(c.path), c.hex);
  }
}

}  // namespace
