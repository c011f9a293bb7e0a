#include "options/dfu_options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "app/tool_state.h"
#include "console/output.h"
#include "console/reasons.h"
#include "dfu/job_plan.h"
#include "image_test_files.h"

namespace {

using image_test::CountingBytes;
using image_test::DataLine;
using image_test::TempDir;

struct Placed {
  uint32_t start;
  uint32_t length;
  bool operator==(const Placed& other) const {
    return start == other.start && length == other.length;
  }
};

std::ostream& operator<<(std::ostream& out, const Placed& placed) {
  return out << std::hex << "{0x" << placed.start << ", 0x" << placed.length << "}";
}

class DfuOptions : public testing::Test {
 protected:
  void TearDown() override {
    SetConsoleOut(nullptr);
    SetConsoleErr(nullptr);
    UiLanguage = 1;
  }
  void SetUp() override {
    SetConsoleOut(&out_);
    SetConsoleErr(&err_);
    dir_.Write("app.bin", CountingBytes(0x20));
    dir_.Write("a1000.bin", CountingBytes(0x1000));
    dir_.Write("a1001.bin", CountingBytes(0x1001));
    dir_.Write("a2000.bin", CountingBytes(0x2000));
    dir_.Write("b.bin", CountingBytes(0x10));
    dir_.Write("empty.bin", std::string());
    dir_.Write("app.hex", DataLine(0x8004, {1, 2, 3, 4}) + "\n:00000001FF\n");
    dir_.Write("nodata.hex", ":00000001FF\n");
    dir_.Write("hextext.bin", DataLine(0x8004, {1, 2, 3, 4}) + "\n");
  }

  // "@/name" in a word stands for the file name in the test's directory.
  std::vector<std::string> Words(std::vector<std::string> words) const {
    for (std::string& word : words) {
      const size_t at = word.find("@/");
      if (at != std::string::npos) word.replace(at, 2, dir_.File(""));
    }
    return words;
  }

  std::string PathOf(const std::string& name) const { return dir_.File(name); }

  // "@/" in an expected text stands for the test's directory.
  std::string InDir(std::string text) const {
    for (size_t at = text.find("@/"); at != std::string::npos; at = text.find("@/", at)) {
      text.replace(at, 2, dir_.File(""));
    }
    return text;
  }

  static std::vector<std::string> Lines(const Reasons& why, int32_t language) {
    UiLanguage = language;
    std::vector<std::string> lines;
    for (const Reason& reason : why) lines.push_back(ReasonLine(reason));
    return lines;
  }

  static std::vector<Placed> PlacedImages() {
    std::vector<Placed> placed;
    for (const ProgramImage& image : theProgramImageList.images) {
      placed.push_back({image.EffectiveStart(), image.length});
    }
    return placed;
  }

  TempDir dir_;
  std::ostringstream out_;
  std::ostringstream err_;
};

struct AcceptedCase {
  std::vector<std::string> words;
  OptionNameCase nameCase;
  uint8_t wait;
  uint8_t flash_size;
  uint8_t mode;
  std::vector<std::pair<uint32_t, std::string>> entries;  // addr, file name
  std::vector<Placed> images;
};

TEST_F(DfuOptions, AcceptedWordsGiveTheirSettingsAndPrograms) {
  constexpr auto kExact = OptionNameCase::Exact;
  constexpr auto kAnyCase = OptionNameCase::Insensitive;
  const AcceptedCase cases[] = {
      {{"-w", "1", "-p", "A000", "@/app.bin"}, kExact, 1, 1, 0, {{0xA000, "app.bin"}}, {{0xA000, 0x20}}},
      {{"-p", "a000", "@/app.bin"}, kExact, 0, 1, 0, {{0xA000, "app.bin"}}, {{0xA000, 0x20}}},
      {{"-p", "0xA000", "@/app.bin"}, kExact, 0, 1, 0, {{0xA000, "app.bin"}}, {{0xA000, 0x20}}},
      {{"-p", "1000h", "@/app.bin"}, kExact, 0, 1, 0, {{0x1000, "app.bin"}}, {{0x1000, 0x20}}},
      {{"-p", "0", "@/app.bin", "-w"}, kExact, 0, 1, 0, {{0, "app.bin"}}, {{0, 0x20}}},
      {{"-w", "1", "-w", "0", "-p", "0", "@/app.bin"}, kExact, 0, 1, 0, {{0, "app.bin"}}, {{0, 0x20}}},
      {{"-w", "256", "-p", "0", "@/app.bin"}, kExact, 0, 1, 0, {{0, "app.bin"}}, {{0, 0x20}}},
      {{"-w", "7x", "-p", "0", "@/app.bin"}, kExact, 7, 1, 0, {{0, "app.bin"}}, {{0, 0x20}}},
      {{"-s", "258", "-p", "0", "@/app.bin"}, kExact, 0, 2, 0, {{0, "app.bin"}}, {{0, 0x20}}},
      {{"-s", "0", "-m", "257", "-p", "0", "@/app.bin"}, kExact, 0, 0, 1, {{0, "app.bin"}}, {{0, 0x20}}},
      {{"x", "-p", "0", "@/app.bin"}, kExact, 0, 1, 0, {{0, "app.bin"}}, {{0, 0x20}}},
      {{"dfu", "", "-p", "0", "@/app.bin"}, kExact, 0, 1, 0, {{0, "app.bin"}}, {{0, 0x20}}},
      {{"-p", "0x10", "\"@/app.bin\""}, kExact, 0, 1, 0, {{0x10, "app.bin"}}, {{0, 0x30}}},
      {{"-p", "0", "\"\"@/app.bin\"\"\""}, kExact, 0, 1, 0, {{0, "app.bin"}}, {{0, 0x20}}},
      {{"-p", "0", "@/app.bin\""}, kExact, 0, 1, 0, {{0, "app.bin"}}, {{0, 0x20}}},
      // Upper-case names are options only at the prompt.
      {{"-W", "1", "-p", "0", "@/app.bin"}, kExact, 0, 1, 0, {{0, "app.bin"}}, {{0, 0x20}}},
      {{"-W", "1", "-S", "2", "-M", "1", "-P", "0", "@/app.bin"}, kAnyCase, 1, 2, 1,
       {{0, "app.bin"}}, {{0, 0x20}}},
      // HEX placed by its own addresses, whichever way 0xFFFFFFFF is written.
      {{"-p", "-1", "@/app.hex"}, kExact, 0, 1, 0, {{0xFFFFFFFF, "app.hex"}}, {{0x8000, 8}}},
      {{"-p", "FFFFFFFF", "@/app.hex"}, kExact, 0, 1, 0, {{0xFFFFFFFF, "app.hex"}}, {{0x8000, 8}}},
      {{"-p", "0xffffffff", "@/app.hex"}, kExact, 0, 1, 0, {{0xFFFFFFFF, "app.hex"}}, {{0x8000, 8}}},
      {{"-p", "A010", "@/app.hex"}, kExact, 0, 1, 0, {{0xA010, "app.hex"}}, {{0xA000, 0x14}}},
      // Sorted by address whatever the order of the options; touching is fine.
      {{"-p", "0x1000", "@/b.bin", "-p", "0", "@/a1000.bin"}, kExact, 0, 1, 0,
       {{0x1000, "b.bin"}, {0, "a1000.bin"}}, {{0, 0x1000}, {0x1000, 0x10}}},
      {{"-p", "0x1010", "@/b.bin", "-p", "0", "@/a1000.bin"}, kExact, 0, 1, 0,
       {{0x1010, "b.bin"}, {0, "a1000.bin"}}, {{0, 0x1000}, {0x1000, 0x20}}},
      {{"-p", "3000", "@/b.bin", "-p", "1000", "@/b.bin", "-p", "2000", "@/app.bin"}, kExact, 0, 1, 0,
       {{0x3000, "b.bin"}, {0x1000, "b.bin"}, {0x2000, "app.bin"}},
       {{0x1000, 0x10}, {0x2000, 0x20}, {0x3000, 0x10}}},
      // The program area by flash size.
      {{"-s", "0", "-p", "3E000", "@/a1000.bin"}, kExact, 0, 0, 0, {{0x3E000, "a1000.bin"}}, {{0x3E000, 0x1000}}},
      {{"-p", "7E000", "@/a1000.bin"}, kExact, 0, 1, 0, {{0x7E000, "a1000.bin"}}, {{0x7E000, 0x1000}}},
      {{"-s", "2", "-p", "FE000", "@/a1000.bin"}, kExact, 0, 2, 0, {{0xFE000, "a1000.bin"}}, {{0xFE000, 0x1000}}},
  };
  for (const AcceptedCase& c : cases) {
    const std::vector<std::string> words = Words(c.words);
    std::string trace;
    for (const std::string& word : c.words) trace += "'" + word + "' ";
    SCOPED_TRACE(trace);
    Reasons why;
    ASSERT_TRUE(ParseDfuOptions(words, c.nameCase, &why));
    EXPECT_FALSE(HasError(why));
    EXPECT_EQ(theDfuSettings.vendor_id, 0x0000);
    EXPECT_EQ(theDfuSettings.product_id, 0xC081);
    EXPECT_EQ(theDfuSettings.interface_number, -1);
    EXPECT_EQ(theDfuSettings.wait, c.wait);
    EXPECT_EQ(theDfuSettings.flash_size, c.flash_size);
    EXPECT_EQ(theDfuSettings.mode, c.mode);
    std::vector<std::pair<uint32_t, std::string>> entries;
    for (const ProgramEntry& entry : theDfuSettings.programs) entries.emplace_back(entry.addr, entry.pg_path);
    std::vector<std::pair<uint32_t, std::string>> expected;
    for (const auto& entry : c.entries) expected.emplace_back(entry.first, PathOf(entry.second));
    EXPECT_EQ(entries, expected);
    EXPECT_EQ(PlacedImages(), c.images);
    EXPECT_EQ(theProgramImageList.count(), static_cast<int32_t>(c.images.size()));
  }
}

// Programs that touch (one ends where the next begins) are accepted in
// either order, placed side by side, and erased as one region.
TEST_F(DfuOptions, TouchingProgramsInEitherOrderShareOneEraseRegion) {
  const struct {
    std::vector<std::string> words;
    std::vector<Placed> images;
    Placed region;
  } cases[] = {
      {{"-p", "0", "@/a1000.bin", "-p", "1000", "@/b.bin"}, {{0, 0x1000}, {0x1000, 0x10}}, {0, 0x1010}},
      {{"-p", "1000", "@/b.bin", "-p", "0", "@/a1000.bin"}, {{0, 0x1000}, {0x1000, 0x10}}, {0, 0x1010}},
      // Inside a sector, and across one's end.
      {{"-p", "1F00", "@/a1000.bin", "-p", "2F00", "@/b.bin"}, {{0x1F00, 0x1000}, {0x2F00, 0x10}}, {0x1F00, 0x1010}},
      {{"-p", "2F00", "@/b.bin", "-p", "1F00", "@/a1000.bin"}, {{0x1F00, 0x1000}, {0x2F00, 0x10}}, {0x1F00, 0x1010}},
      // Three in a row, the middle one last.
      {{"-p", "0", "@/a1000.bin", "-p", "2000", "@/b.bin", "-p", "1000", "@/a1000.bin"},
       {{0, 0x1000}, {0x1000, 0x1000}, {0x2000, 0x10}}, {0, 0x2010}},
  };
  for (const auto& c : cases) {
    std::string trace;
    for (const std::string& word : c.words) trace += word + " ";
    SCOPED_TRACE(trace);
    Reasons why;
    ASSERT_TRUE(ParseDfuOptions(Words(c.words), OptionNameCase::Exact, &why));
    EXPECT_EQ(Lines(why, 1), std::vector<std::string>());
    EXPECT_EQ(PlacedImages(), c.images);
    const std::vector<EraseRegion> regions = PlanJob(theProgramImageList.images, 0).regions;
    ASSERT_EQ(regions.size(), 1u);
    EXPECT_EQ((Placed{regions[0].start, regions[0].length}), c.region);
  }
}

TEST_F(DfuOptions, RejectedWords) {
  const struct {
    const char* why;
    std::vector<std::string> words;
  } cases[] = {
      {"no words", {}},
      {"one word", {"-p"}},
      {"no program", {"-w", "1", "-s", "2"}},
      {"no path", {"-p", "0"}},
      {"address and path in one word", {"-p", "A000,app.bin"}},
      {"path is the word -w", {"-p", "A000,app.bin", "-w", "1"}},
      {"option as a value", {"-w", "-s", "1", "-p", "0", "@/app.bin"}},
      {"empty value", {"-m", "", "-p", "0", "@/app.bin"}},
      {"value out of range", {"-w", "2147483648", "-p", "0", "@/app.bin"}},
      {"flash size 3", {"-s", "3", "-p", "0", "@/app.bin"}},
      {"flash size -1", {"-s", "-1", "-p", "0", "@/app.bin"}},
      {"mode 2", {"-m", "2", "-p", "0", "@/app.bin"}},
      {"address no number", {"-p", "zz", "@/app.bin"}},
      {"address above 32 bits", {"-p", "100000000", "@/app.hex"}},
      {"empty path", {"-p", "0", ""}},
      {"path of quotes only", {"-p", "0", "\"\"\""}},
      {"upper-case option on the command line", {"-P", "0", "@/app.bin"}},
      {"missing file", {"-p", "0", "@/missing.bin"}},
      {"empty file", {"-p", "0", "@/empty.bin"}},
      {"HEX file without data", {"-p", "-1", "@/nodata.hex"}},
      {"raw file at 0xFFFFFFFF", {"-p", "-1", "@/app.bin"}},
      {"one byte over flash size 0", {"-s", "0", "-p", "3E000", "@/a1001.bin"}},
      {"start at the end of flash size 0", {"-s", "0", "-p", "3F000", "@/b.bin"}},
      {"start at the end of flash size 1", {"-p", "7F000", "@/b.bin"}},
      {"one byte over flash size 2", {"-s", "2", "-p", "FE000", "@/a1001.bin"}},
      {"same start", {"-p", "0", "@/b.bin", "-p", "0", "@/a1000.bin"}},
      {"same start after rounding", {"-p", "10", "@/b.bin", "-p", "0", "@/b.bin"}},
      {"overlap, first option lower", {"-p", "0", "@/a1001.bin", "-p", "0x1000", "@/b.bin"}},
      {"overlap, first option higher", {"-p", "0x1000", "@/b.bin", "-p", "0", "@/a1001.bin"}},
      {"overlap with rounded start", {"-p", "0x1010", "@/b.bin", "-p", "0", "@/a1001.bin"}},
      {"overlap with the successor only",
       {"-p", "0", "@/b.bin", "-p", "0x2000", "@/b.bin", "-p", "0x1000", "@/a1001.bin"}},
      {"a later program fails", {"-p", "0", "@/app.bin", "-p", "0x1000", "@/missing.bin"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    Reasons why;
    EXPECT_FALSE(ParseDfuOptions(Words(c.words), OptionNameCase::Exact, &why));
    EXPECT_TRUE(HasError(why));  // every refusal says why
  }
}

// Each refusal and each surprising reading says why, with the words, paths
// and addresses the user needs; the result of the parse stays what it was.
TEST_F(DfuOptions, ReasonsNameTheWordsFilesAndAddresses) {
  constexpr auto kExact = OptionNameCase::Exact;
  constexpr auto kAnyCase = OptionNameCase::Insensitive;
  const std::string e = "orvel-dfu: error: ";
  const std::string w = "orvel-dfu: warning: ";
  const std::string n = "orvel-dfu: note: ";
  const std::string noProgram = e + "no program given: name one with -p addr pg_path (for example -p A000 app.bin)";
  const std::string incompleteP = e + "'-p' is incomplete: write -p addr pg_path (for example -p A000 app.bin)";
  const std::string longPath(512, 'a');
  const std::string strictNote = n + "--strict turns these warnings into errors";
  const struct {
    std::vector<std::string> words;
    OptionNameCase nameCase;
    bool parses;
    int32_t language;
    std::vector<std::string> lines;
  } cases[] = {
      {{}, kExact, false, 1, {noProgram}},
      {{"-w", "1", "-s", "2"}, kExact, false, 1, {noProgram}},
      {{"dfu", "", "-p", "0", "@/app.bin"}, kAnyCase, true, 1, {}},
      // Options without their values.
      {{"-p", "0"}, kExact, false, 1, {incompleteP}},
      {{"-p", "A000,app.bin"}, kExact, false, 1,
       {incompleteP, n + "'A000,app.bin' is one word: the values of -p are separated by spaces, not commas"}},
      {{"-p", "0", "@/app.bin", "-w"}, kExact, true, 1,
       {w + "'-w' at the end is incomplete and was ignored: write -w wait (for example -w 1)"}},
      {{"-P"}, kAnyCase, false, 1,
       {w + "'-P' at the end is incomplete and was ignored: write -p addr pg_path (for example -p A000 app.bin)",
        noProgram}},
      // Words that are no options.
      {{"-P", "0", "@/app.bin"}, kExact, false, 1,
       {w + "'-P' is no option and was ignored: option names are case-sensitive on the command line (did you "
            "mean '-p'?)",
        noProgram}},
      {{"--p", "0", "@/app.bin"}, kAnyCase, false, 1,
       {w + "'--p' is no option and was ignored (did you mean '-p'?)", noProgram}},
      {{"-x", "1", "-p", "0", "@/app.bin"}, kExact, true, 1,
       {w + "'-x' is no option and was ignored; the options are -w, -s, -m and -p (case-sensitive on the "
            "command line)"}},
      {{"-x", "-p", "0", "@/app.bin"}, kAnyCase, true, 1,
       {w + "'-x' is no option and was ignored; the options are -w, -s, -m and -p"}},
      {{"--lst", "-p", "0", "@/app.bin"}, kExact, true, 1,
       {w + "'--lst' is no option and was ignored (did you mean '--list'?)"}},
      {{"-p", "0", "@/app.bin", "@/b.bin", "x"}, kExact, true, 1,
       {w + "'@/b.bin' was ignored: it is no option and no option's value",
        w + "'x' was ignored: it is no option and no option's value"}},
      // Numbers: text after the digits, values and what they select, no number.
      {{"-p", "fw.bin", "@/b.bin"}, kExact, true, 1,
       {w + "'fw.bin' read as address 0x0000000F: the text after the digits is ignored"}},
      {{"-w", "7x", "-p", "0", "@/app.bin"}, kExact, true, 1,
       {w + "'7x' read as -w 7: the text after the digits is ignored",
        w + "-w 7 means waiting for the device, as -w 1 does"}},
      {{"-w", "256", "-p", "0", "@/app.bin"}, kExact, true, 1,
       {w + "-w 256 means no waiting, as -w 0 does: only its low 8 bits count"}},
      {{"-s", "258", "-m", "257", "-p", "0", "@/app.bin"}, kExact, true, 1,
       {w + "-s 258 selects flash size 2: only its low 8 bits count",
        w + "-m 257 selects mode 1: only its low 8 bits count"}},
      {{"-s", "3", "-p", "0", "@/app.bin"}, kExact, false, 1,
       {e + "-s 3 is no flash size: use 0 (256 KB), 1 (512 KB) or 2 (1 MB)"}},
      {{"-m", "2", "-p", "0", "@/app.bin"}, kExact, false, 1,
       {e + "-m 2 is no mode: use 0 (download and verify) or 1 (download only)"}},
      {{"-w", "-s", "1", "-p", "0", "@/app.bin"}, kExact, false, 1, {e + "-w needs a number, not '-s'"}},
      {{"-w", "2147483648", "-p", "0", "@/app.bin"}, kExact, false, 1,
       {e + "-w 2147483648: the number is out of range (-2147483648 to 2147483647)"}},
      {{"-p", "zz", "@/app.bin"}, kExact, false, 1,
       {e + "'zz' is no address: -p needs a hexadecimal address (for example A000) before the path"}},
      {{"-p", "100000000", "@/app.hex"}, kExact, false, 1,
       {e + "address '100000000' is out of range: the largest is FFFFFFFF"}},
      // Paths.
      {{"-p", "A000", "\"\"\""}, kExact, false, 1, {e + "the program path for address 0x0000A000 is empty"}},
      {{"-p", "0", longPath}, kExact, false, 1,
       {e + "the program path '" + longPath + "' is 512 bytes long; the longest allowed is 511"}},
      // The program area.
      {{"-p", "7E000", "@/a2000.bin"}, kExact, false, 1,
       {e + "'@/a2000.bin' (0x0007E000..0x00080000) does not fit the program area, which ends at 0x0007F000 with "
            "-s 1; with -s 2 it fits"}},
      {{"-s", "0", "-p", "3E010", "@/a1000.bin"}, kExact, false, 1,
       {e + "'@/a1000.bin' (0x0003E000..0x0003F010) does not fit the program area, which ends at 0x0003F000 with "
            "-s 0; with -s 1 it fits"}},
      {{"-s", "2", "-p", "FF000", "@/b.bin"}, kExact, false, 1,
       {e + "'@/b.bin' (0x000FF000..0x000FF010) does not fit the program area, which ends at 0x000FF000 with "
            "-s 2; no -s value fits it (the largest area ends at 0x000FF000)"}},
      {{"-p", "FFFFFFFF", "@/app.bin"}, kExact, false, 1,
       {e + "'@/app.bin' (0xFFFFFF00..0x10000001F) does not fit the program area, which ends at 0x0007F000 with "
            "-s 1; no -s value fits it (the largest area ends at 0x000FF000)",
        n + "address FFFFFFFF takes the start from an Intel HEX file (.hex); '@/app.bin' is a raw binary and "
            "needs its address"}},
      // Two programs sharing flash: the later one is named first.
      {{"-p", "0", "@/b.bin", "-p", "0", "@/a1000.bin"}, kExact, false, 1,
       {e + "'@/a1000.bin' (0x00000000..0x00001000) overlaps '@/b.bin' (0x00000000..0x00000010): programs must "
            "not share flash"}},
      {{"-p", "0x1010", "@/b.bin", "-p", "0", "@/a1001.bin"}, kExact, false, 1,
       {e + "'@/a1001.bin' (0x00000000..0x00001001) overlaps '@/b.bin' (0x00001000..0x00001020): programs must "
            "not share flash"}},
      // --strict: every warning refuses the line, and a note says why when
      // nothing else did; a clean line still parses.
      {{"--strict", "-p", "80G0", "@/app.bin"}, kExact, false, 1,
       {e + "'80G0' read as address 0x00000080: the text after the digits is ignored", strictNote}},
      {{"--strict", "-p", "8000", "@/app.bin", "-p20000", "@/b.bin"}, kExact, false, 1,
       {e + "'-p20000' is no option and was ignored; the options are -w, -s, -m and -p (case-sensitive on the "
            "command line)",
        strictNote}},
      {{"-p", "0", "@/hextext.bin", "--strict"}, kExact, false, 1,
       {e + "'@/hextext.bin' holds Intel HEX text; it is flashed as raw bytes, the text itself. Only a file named "
            ".hex is read as Intel HEX",
        strictNote}},
      {{"dfu", "-W", "2", "--STRICT", "-p", "0", "@/app.bin"}, kAnyCase, false, 1,
       {e + "-w 2 means waiting for the device, as -w 1 does", strictNote}},
      {{"--strict", "-p", "0", "@/app.bin", "--frobnicate"}, kExact, false, 1, {e + "unknown option '--frobnicate'"}},
      {{"dfu", "", "--strict", "-p", "0", "@/app.bin"}, kAnyCase, true, 1, {}},
      // Chinese.
      {{"-P", "0", "@/app.bin"}, kExact, false, 0,
       {"orvel-dfu: 警告：“-P”不是选项，已忽略：命令行上的选项名区分大小写（是否想用“-p”？）",
        "orvel-dfu: 错误：没有指定程序：请用 -p addr pg_path 指定（例如 -p A000 app.bin）"}},
      {{"-p", "fw.bin", "@/b.bin", "-s", "9"}, kExact, false, 0,
       {"orvel-dfu: 警告：“fw.bin”读作地址 0x0000000F：数字后面的文字被忽略",
        "orvel-dfu: 错误：-s 9 不是有效的芯片程序区大小：可用 0（256 KB）、1（512 KB）或 2（1 MB）"}},
      {{"-p", "7E000", "@/a2000.bin"}, kExact, false, 0,
       {"orvel-dfu: 错误：“@/a2000.bin”（0x0007E000..0x00080000）超出芯片程序区：-s 1 时程序区结束于 "
        "0x0007F000；改用 -s 2 可以放下"}},
      {{"-p", "0", "@/a1001.bin", "-p", "1000", "@/b.bin"}, kExact, false, 0,
       {"orvel-dfu: 错误：“@/b.bin”（0x00001000..0x00001010）与“@/a1001.bin”（0x00000000..0x00001001）重叠："
        "程序之间不能有重叠区域"}},
  };
  for (const auto& c : cases) {
    std::string trace;
    for (const std::string& word : c.words) trace += "'" + word.substr(0, 20) + "' ";
    SCOPED_TRACE(trace);
    Reasons why;
    EXPECT_EQ(ParseDfuOptions(Words(c.words), c.nameCase, &why), c.parses);
    std::vector<std::string> expected;
    for (const std::string& line : c.lines) expected.push_back(InDir(line));
    EXPECT_EQ(Lines(why, c.language), expected);
  }
  EXPECT_EQ(out_.str(), "");  // the parser writes nothing itself
  EXPECT_EQ(err_.str(), "");
}

// Long options: both value forms, the modifiers, the actions, and unknown
// "--" words, which warn while the line still runs a job and are errors
// when nothing runs. The command line and the prompt read them alike, but
// for letter case and the actions.
TEST_F(DfuOptions, LongOptionsModifiersAndActions) {
  constexpr auto kExact = OptionNameCase::Exact;
  constexpr auto kAnyCase = OptionNameCase::Insensitive;
  constexpr auto kNone = DfuAction::None;
  const std::string e = "orvel-dfu: error: ";
  const std::string w = "orvel-dfu: warning: ";
  const std::string idleTimeout =
      w + "--timeout was ignored: it bounds the wait of -w 1, and without it the device is looked for once";
  const std::string badTimeout = e + "--timeout needs a positive number of seconds (for example 2.5), not ";
  const struct {
    std::vector<std::string> words;
    OptionNameCase nameCase;
    bool parses;
    DfuAction action;
    std::string device;
    int32_t timeout_ms;
    bool quiet;
    int32_t language;
    std::vector<std::string> lines;
  } cases[] = {
      // Modifiers, "--name VALUE" and "--name=VALUE".
      {{"--device", "/dev/hidraw3", "-p", "0", "@/app.bin"}, kExact, true, kNone, "/dev/hidraw3", 0, false, 1, {}},
      {{"--device=1-2.3", "-w", "1", "--timeout=2.5", "-p", "0", "@/app.bin"}, kExact, true, kNone, "1-2.3", 2500,
       false, 1, {}},
      {{"-w", "1", "--timeout", "0.0001", "--device", "a=b", "-p", "0", "@/app.bin"}, kExact, true, kNone, "a=b", 1,
       false, 1, {}},
      {{"-p", "0", "@/app.bin", "--quiet"}, kExact, true, kNone, "", 0, true, 1, {}},
      {{"--quiet", "-p", "0", "@/app.bin", "x"}, kExact, true, kNone, "", 0, true, 1,
       {w + "'x' was ignored: it is no option and no option's value"}},
      {{"-p", "0", "@/app.bin", "--timeout", "3"}, kExact, true, kNone, "", 3000, false, 1, {idleTimeout}},
      {{"-p", "0", "@/app.bin", "--device"}, kExact, true, kNone, "", 0, false, 1,
       {w + "'--device' at the end is incomplete and was ignored: write --device SELECTOR (for example --device "
            "/dev/hidraw3)"}},
      // Misused modifiers.
      {{"--device", "-p", "0", "@/app.bin"}, kExact, false, kNone, "", 0, false, 1,
       {e + "--device needs a device path, serial number or USB location, not '-p'"}},
      {{"--device=", "-p", "0", "@/app.bin"}, kExact, false, kNone, "", 0, false, 1,
       {e + "--device needs a device path, serial number or USB location, not ''"}},
      {{"-w", "1", "--timeout", "abc", "-p", "0", "@/app.bin"}, kExact, false, kNone, "", 0, false, 1,
       {badTimeout + "'abc'"}},
      {{"--timeout=0", "-p", "0", "@/app.bin"}, kExact, false, kNone, "", 0, false, 1, {badTimeout + "'0'"}},
      {{"--timeout", "-1", "-p", "0", "@/app.bin"}, kExact, false, kNone, "", 0, false, 1, {badTimeout + "'-1'"}},
      {{"--timeout", "2.5s", "-p", "0", "@/app.bin"}, kExact, false, kNone, "", 0, false, 1, {badTimeout + "'2.5s'"}},
      {{"--timeout", "2147484", "-p", "0", "@/app.bin"}, kExact, false, kNone, "", 0, false, 1,
       {e + "--timeout 2147484: the longest wait is 2147483 seconds (about 24 days)"}},
      {{"--timeout", "-p", "0", "@/app.bin"}, kExact, false, kNone, "", 0, false, 1, {badTimeout + "'-p'"}},
      {{"--quiet=1", "-p", "0", "@/app.bin"}, kExact, false, kNone, "", 0, false, 1,
       {e + "'--quiet=1' takes no value: write --quiet"}},
      // Unknown "--" words: a warning while a job runs, an error otherwise,
      // with the nearest option for a near miss.
      {{"--dryrun", "-p", "0", "@/app.bin"}, kExact, true, kNone, "", 0, false, 1,
       {w + "'--dryrun' is no option and was ignored (did you mean '--dry-run'?)"}},
      {{"--HELP", "-p", "0", "@/app.bin"}, kExact, true, kNone, "", 0, false, 1,
       {w + "'--HELP' is no option and was ignored: option names are case-sensitive on the command line (did you "
            "mean '--help'?)"}},
      {{"-help", "-p", "0", "@/app.bin"}, kExact, true, kNone, "", 0, false, 1,
       {w + "'-help' is no option and was ignored (did you mean '--help'?)"}},
      {{"--lsit"}, kExact, false, kNone, "", 0, false, 1, {e + "unknown option '--lsit' (did you mean '--list'?)"}},
      {{"--Quiet"}, kExact, false, kNone, "", 0, false, 1,
       {e + "unknown option '--Quiet': option names are case-sensitive on the command line (did you mean "
            "'--quiet'?)"}},
      {{"--frobnicate=3", "--devcie", "x", "-s", "3", "-p", "0", "@/app.bin"}, kExact, false, kNone, "", 0, false, 1,
       {e + "unknown option '--frobnicate=3'", e + "unknown option '--devcie' (did you mean '--device'?)",
        e + "-s 3 is no flash size: use 0 (256 KB), 1 (512 KB) or 2 (1 MB)"}},
      // Actions: no job, programs neither loaded nor required; any error
      // refuses the action.
      {{"--help"}, kExact, false, DfuAction::Help, "", 0, false, 1, {}},
      {{"-p", "0", "@/missing.bin", "--version", "-w", "1"}, kExact, false, DfuAction::Version, "", 0, false, 1, {}},
      {{"--dry-run", "-m", "1", "--quiet", "-p", "0", "@/app.bin"}, kExact, false, DfuAction::DryRun, "", 0, true, 1,
       {}},
      {{"--help", "--help", "x"}, kExact, false, DfuAction::Help, "", 0, false, 1,
       {w + "'x' was ignored: it is no option and no option's value"}},
      {{"--help", "--dry-run"}, kExact, false, DfuAction::Help, "", 0, false, 1,
       {e + "'--help' and '--dry-run' are both actions: give only one"}},
      {{"--version", "--lsit"}, kExact, false, DfuAction::Version, "", 0, false, 1,
       {e + "unknown option '--lsit' (did you mean '--list'?)"}},
      {{"--dry-run=yes"}, kExact, false, DfuAction::DryRun, "", 0, false, 1,
       {e + "'--dry-run=yes' takes no value: write --dry-run"}},
      {{"--list", "--device=1-2.3"}, kExact, false, DfuAction::List, "1-2.3", 0, false, 1, {}},
      {{"--verify-only", "-w", "1", "--timeout", "5", "-p", "0", "@/app.bin"}, kExact, false, DfuAction::VerifyOnly,
       "", 5000, false, 1, {}},
      {{"-h", "-p", "0", "@/missing.bin"}, kExact, false, DfuAction::Help, "", 0, false, 1, {}},
      {{"-V"}, kExact, false, DfuAction::Version, "", 0, false, 1, {}},
      {{"-v"}, kExact, false, kNone, "", 0, false, 1,
       {w + "'-v' is no option and was ignored: option names are case-sensitive on the command line (did you mean "
            "'-V'?)",
        e + "no program given: name one with -p addr pg_path (for example -p A000 app.bin)"}},
      {{"--strict", "--version", "x"}, kExact, false, DfuAction::Version, "", 0, false, 1,
       {e + "'x' was ignored: it is no option and no option's value",
        "orvel-dfu: note: --strict turns these warnings into errors"}},
      {{"--progress=fancy", "-p", "0", "@/app.bin"}, kExact, false, kNone, "", 0, false, 1,
       {e + "--progress takes percent, rich or none, not 'fancy'"}},
      {{"--read", "0", "1000"}, kExact, false, DfuAction::Read, "", 0, false, 1,
       {e + "'--read' is incomplete: write --read ADDR LENGTH FILE (for example --read 0 1000 flash.bin)"}},
      {{"--list", "--read", "0", "10", "f.bin"}, kExact, false, DfuAction::List, "", 0, false, 1,
       {e + "'--list' and '--read' are both actions: give only one"}},
      // After a refusal the rest still names the action and --quiet.
      {{"-s", "3", "--dry-run", "--quiet"}, kExact, false, DfuAction::DryRun, "", 0, true, 1,
       {e + "-s 3 is no flash size: use 0 (256 KB), 1 (512 KB) or 2 (1 MB)"}},
      {{"-w", "--help"}, kExact, false, DfuAction::Help, "", 0, false, 1, {e + "-w needs a number, not '--help'"}},
      // At the prompt: any case, and no actions.
      {{"--DEVICE", "Ser-01", "--QUIET", "--Timeout=1", "-W", "1", "-P", "0", "@/app.bin"}, kAnyCase, true, kNone,
       "Ser-01", 1000, true, 1, {}},
      {{"--help", "-p", "0", "@/app.bin"}, kAnyCase, true, kNone, "", 0, false, 1,
       {w + "'--help' was ignored: it works on the command line only (here, type help)"}},
      {{"--DRY-RUN", "x"}, kAnyCase, false, kNone, "", 0, false, 1,
       {e + "'--DRY-RUN' is not available at the prompt: it works on the command line only"}},
      {{"--LIST"}, kAnyCase, false, kNone, "", 0, false, 1,
       {e + "'--LIST' is not available at the prompt: it works on the command line only"}},
      {{"--hlep"}, kAnyCase, false, kNone, "", 0, false, 1, {e + "unknown option '--hlep'"}},
      {{"-H"}, kAnyCase, false, kNone, "", 0, false, 1,
       {e + "'-H' is not available at the prompt: it works on the command line only (here, type help)"}},
      {{"--devcie", "a", "-p", "0", "@/app.bin"}, kAnyCase, true, kNone, "", 0, false, 1,
       {w + "'--devcie' is no option and was ignored (did you mean '--device'?)"}},
      // Chinese.
      {{"--lsit"}, kExact, false, kNone, "", 0, false, 0, {"orvel-dfu: 错误：未知选项“--lsit”（是否想用“--list”？）"}},
      {{"--dryrun", "-p", "0", "@/app.bin", "--timeout", "3"}, kExact, true, kNone, "", 3000, false, 0,
       {"orvel-dfu: 警告：“--dryrun”不是选项，已忽略（是否想用“--dry-run”？）",
        "orvel-dfu: 警告：--timeout 已忽略：它限制 -w 1 的等待时间；不等待时只查询一次设备"}},
      {{"--help"}, kAnyCase, false, kNone, "", 0, false, 0,
       {"orvel-dfu: 错误：“--help”在提示符下不可用：它只能用在命令行上（此处请输入 help）"}},
      {{"--timeout", "x", "-p", "0", "@/app.bin"}, kExact, false, kNone, "", 0, false, 0,
       {"orvel-dfu: 错误：--timeout 后面需要正的秒数（例如 2.5），而不是“x”"}},
  };
  for (const auto& c : cases) {
    std::string trace;
    for (const std::string& word : c.words) trace += "'" + word + "' ";
    SCOPED_TRACE(trace);
    Reasons why;
    EXPECT_EQ(ParseDfuOptions(Words(c.words), c.nameCase, &why), c.parses);
    EXPECT_EQ(theDfuSettings.action, c.action);
    EXPECT_EQ(theDfuSettings.device, c.device);
    EXPECT_EQ(theDfuSettings.timeout_ms, c.timeout_ms);
    EXPECT_EQ(theDfuSettings.quiet, c.quiet);
    EXPECT_EQ(Lines(why, c.language), c.lines);
    // A job has its programs loaded; an action line loads none.
    EXPECT_EQ(theProgramImageList.images.empty(), !c.parses);
  }
  // Every parse starts again from no action and no modifiers.
  ASSERT_TRUE(ParseDfuOptions(Words({"-p", "0", "@/app.bin"})));
  EXPECT_EQ(theDfuSettings.action, kNone);
  EXPECT_EQ(theDfuSettings.device, "");
  EXPECT_EQ(theDfuSettings.timeout_ms, 0);
  EXPECT_FALSE(theDfuSettings.quiet);
}

// The switches for scripts, in both value forms and, at the prompt, any
// case; after a refusal the rest of the line still sets them, so that a
// refused line ends the tool instead of opening the shell.
TEST_F(DfuOptions, SwitchesForScripts) {
  const struct {
    std::vector<std::string> words;
    OptionNameCase nameCase;
    bool parses;
    bool strict;
    bool posixExit;
    ProgressStyle progress;
  } cases[] = {
      {{"--strict", "--posix-exit", "--progress", "none", "-p", "0", "@/app.bin"}, OptionNameCase::Exact, true, true,
       true, ProgressStyle::None},
      {{"--progress=Rich", "-p", "0", "@/app.bin"}, OptionNameCase::Exact, true, false, false, ProgressStyle::Rich},
      {{"--POSIX-EXIT", "-p", "0", "@/app.bin"}, OptionNameCase::Insensitive, true, false, true,
       ProgressStyle::Percent},
      {{"-s", "3", "--posix-exit", "--strict", "-p", "0", "@/app.bin"}, OptionNameCase::Exact, false, true, true,
       ProgressStyle::Percent},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseDfuOptions(Words(c.words), c.nameCase), c.parses) << c.words[0];
    EXPECT_EQ(theDfuSettings.strict, c.strict) << c.words[0];
    EXPECT_EQ(theDfuSettings.posix_exit, c.posixExit) << c.words[0];
    EXPECT_EQ(theDfuSettings.progress, c.progress) << c.words[0];
  }
  // The loader's warnings refuse an action's programs alike.
  ASSERT_FALSE(ParseDfuOptions(Words({"--strict", "--dry-run", "-p", "0", "@/hextext.bin"})));
  EXPECT_FALSE(LoadJobPrograms());
}

// --read takes a hexadecimal range inside the largest flash and a file.
TEST_F(DfuOptions, ReadTakesARangeOfTheLargestFlashAndAFile) {
  const std::string e = "orvel-dfu: error: ";
  const std::string w = "orvel-dfu: warning: ";
  const struct {
    std::vector<std::string> words;
    uint32_t addr;
    uint32_t length;
    std::string file;  // empty: refused
    int32_t language;
    std::vector<std::string> lines;
  } cases[] = {
      {{"--read", "8000", "1C40", "out.bin"}, 0x8000, 0x1C40, "out.bin", 1, {}},
      {{"--read=0x0", "0x100000", "all.bin"}, 0, 0x100000, "all.bin", 1, {}},
      {{"--read", "0", "10,f.bin", "x"}, 0, 0x10, "x", 1,
       {w + "'10,f.bin' read as length 0x00000010: the text after the digits is ignored",
        "orvel-dfu: note: '10,f.bin' is one word: the values of --read are separated by spaces, not commas"}},
      {{"--read", "zz", "10", "f.bin"}, 0, 0, "", 1,
       {e + "'zz' is no address: --read needs ADDR in hexadecimal (for example 8000)"}},
      {{"--read", "0", "x", "f.bin"}, 0, 0, "", 1,
       {e + "'x' is no length: --read needs LENGTH in hexadecimal (for example 1000 for 4096 bytes)"}},
      {{"--read", "0", "100000000", "f.bin"}, 0, 0, "", 1,
       {e + "length '100000000' is out of range: the largest is FFFFFFFF"}},
      {{"--read", "0", "0", "f.bin"}, 0, 0, "", 1, {e + "--read 0 0: LENGTH must be 1 or more"}},
      {{"--read", "FFFFF", "2", "f.bin"}, 0, 0, "", 1,
       {e + "--read FFFFF 2: 0x000FFFFF..0x00100001 goes past 0x00100000, the end of the largest flash (1 MB)"}},
      {{"--read", "-1", "1", "f.bin"}, 0, 0, "", 1,
       {e + "--read -1 1: 0xFFFFFFFF..0x100000000 goes past 0x00100000, the end of the largest flash (1 MB)"}},
      {{"--read", "FFFFFFFF", "2", "f.bin"}, 0, 0, "", 1,
       {e + "--read FFFFFFFF 2: the range goes past 32 bits (beyond 0xFFFFFFFF)"}},
      {{"--read", "0", "10", "-w"}, 0, 0, "", 1, {e + "--read needs a FILE to write the flash into, not '-w'"}},
      {{"--read", "8", "100000", "f.bin"}, 0, 0, "", 0,
       {"orvel-dfu: 错误：--read 8 100000：0x00000008..0x00100008 超出最大 Flash（1 MB）的末尾 0x00100000"}},
  };
  for (const auto& c : cases) {
    std::string trace;
    for (const std::string& word : c.words) trace += "'" + word + "' ";
    SCOPED_TRACE(trace);
    Reasons why;
    EXPECT_FALSE(ParseDfuOptions(c.words, OptionNameCase::Exact, &why));
    EXPECT_EQ(theDfuSettings.action, DfuAction::Read);
    EXPECT_EQ(HasError(why), c.file.empty());
    EXPECT_EQ(theDfuSettings.read_addr, c.addr);
    EXPECT_EQ(theDfuSettings.read_length, c.length);
    EXPECT_EQ(theDfuSettings.read_file, c.file);
    EXPECT_EQ(Lines(why, c.language), c.lines);
  }
}

// Files the loader refuses: its reasons pass through, and each names the file.
TEST_F(DfuOptions, LoaderRefusalsNameTheFile) {
  const struct {
    std::vector<std::string> words;
    const char* file;
  } cases[] = {
      {{"-p", "0", "@/missing.bin"}, "@/missing.bin"},
      {{"-p", "0", "@/empty.bin"}, "@/empty.bin"},
      {{"-p", "-1", "@/nodata.hex"}, "@/nodata.hex"},
      {{"-p", "0", "@/app.bin", "-p", "0x1000", "@/missing.bin"}, "@/missing.bin"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    Reasons why;
    EXPECT_FALSE(ParseDfuOptions(Words(c.words), OptionNameCase::Exact, &why));
    const std::vector<std::string> lines = Lines(why, 1);
    const std::string file = "'" + InDir(c.file) + "'";
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.rfind("orvel-dfu: error: ", 0) == 0 && line.find(file) != std::string::npos;
    })) << testing::PrintToString(lines);
  }
}

TEST_F(DfuOptions, EveryParseStartsFromTheDefaults) {
  ASSERT_TRUE(ParseDfuOptions(Words({"-w", "1", "-s", "2", "-m", "1", "-p", "0", "@/app.bin"})));
  ASSERT_TRUE(ParseDfuOptions(Words({"-p", "0x1000", "@/b.bin"})));
  EXPECT_EQ(theDfuSettings.wait, 0);
  EXPECT_EQ(theDfuSettings.flash_size, 1);
  EXPECT_EQ(theDfuSettings.mode, 0);
  ASSERT_EQ(theDfuSettings.programs.size(), 1u);
  EXPECT_EQ(PlacedImages(), (std::vector<Placed>{{0x1000, 0x10}}));
  EXPECT_EQ(theProgramImageList.areaEnd, 0x7F000u);
  EXPECT_FALSE(ParseDfuOptions({}));
  EXPECT_TRUE(theDfuSettings.programs.empty());
}

TEST_F(DfuOptions, LoadProgramsResultCodes) {
  theDfuSettings.programs.clear();
  theDfuSettings.flash_size = 2;
  EXPECT_EQ(LoadPrograms(), -1);
  EXPECT_EQ(theProgramImageList.areaEnd, 0xFF000u);
  ASSERT_TRUE(AddProgramEntry(0, PathOf("app.bin")));
  EXPECT_EQ(LoadPrograms(), 1);
  EXPECT_EQ(theProgramImageList.count(), 1);
  ASSERT_TRUE(AddProgramEntry(0x10, PathOf("b.bin")));
  EXPECT_EQ(LoadPrograms(), -3);
  ClearProgramImageList();
  EXPECT_EQ(theProgramImageList.count(), 0);
  EXPECT_EQ(theProgramImageList.areaEnd, 0xFF000u);
}

TEST_F(DfuOptions, PathLengthLimit) {
  theDfuSettings.programs.clear();
  EXPECT_TRUE(AddProgramEntry(0, std::string(511, 'a')));
  EXPECT_FALSE(AddProgramEntry(0, std::string(512, 'a')));
  // Quotes are removed before the length is measured.
  EXPECT_TRUE(AddProgramEntry(0, "\"" + std::string(511, 'b') + "\""));
  ASSERT_EQ(theDfuSettings.programs.size(), 2u);
  EXPECT_EQ(theDfuSettings.programs[1].pg_path, std::string(511, 'b'));

  // A real file whose path is exactly 511 bytes long loads; 512 is refused.
  std::string dirPath = PathOf("");
  while (dirPath.size() + 1 + 200 < 511 - 8) {
    dirPath += std::string(200 - 1, 'd') + "/";
  }
  std::filesystem::create_directories(dirPath);
  const std::string name511 = std::string(511 - dirPath.size(), 'f');
  const std::string path511 = dirPath + name511;
  ASSERT_EQ(path511.size(), 511u);
  image_test::TempDir::WriteTo(path511, CountingBytes(4));
  image_test::TempDir::WriteTo(path511 + "g", CountingBytes(4));
  EXPECT_TRUE(ParseDfuOptions({"-p", "0", path511}));
  EXPECT_FALSE(ParseDfuOptions({"-p", "0", path511 + "g"}));
}

}  // namespace
