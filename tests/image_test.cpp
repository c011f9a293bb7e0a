#include "image/program_image.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "common/ascii_case.h"
#include "image_test_files.h"

namespace {

using image_test::CountingBytes;
using image_test::DataLine;
using image_test::kEndOfFileLine;
using image_test::LinearBaseLine;
using image_test::SegmentBaseLine;
using image_test::TempDir;

// The one reason a load gave, filled in, in English or Chinese.
std::string OnlyReason(const Reasons& why, Severity severity, bool english = true) {
  if (why.size() != 1) return "expected one reason, got " + std::to_string(why.size());
  if (why[0].severity != severity) return "unexpected severity";
  return FillReasonTemplate(english ? why[0].english : why[0].chinese, why[0].args);
}

std::string WithPath(std::string text, const std::string& path) {
  for (size_t at = text.find("{p}"); at != std::string::npos; at = text.find("{p}", at + path.size())) {
    text.replace(at, 3, path);
  }
  return text;
}

std::vector<uint8_t> ImageBytes(const ProgramImage& image) {
  if (!image.bytes) return {};
  return std::vector<uint8_t>(image.bytes.get(), image.bytes.get() + image.length);
}

std::vector<uint8_t> Fill(size_t count) {
  return std::vector<uint8_t>(count, 0xFF);
}

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string Lines(const std::vector<std::string>& lines, const std::string& end = "\n") {
  std::string text;
  for (const std::string& line : lines) text += line + end;
  return text;
}

// A FIFO with no writer: on Windows a named pipe, whose server end this holds.
class Fifo {
 public:
  explicit Fifo(const TempDir& dir) {
#ifdef _WIN32
    (void)dir;
    path_ = "\\\\.\\pipe\\orvel-image-test-" + std::to_string(GetCurrentProcessId());
    server_ = CreateNamedPipeA(path_.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr);
    made_ = server_ != INVALID_HANDLE_VALUE;
#else
    path_ = dir.File("fifo.bin");
    made_ = mkfifo(path_.c_str(), 0600) == 0;
#endif
  }
  ~Fifo() {
#ifdef _WIN32
    if (made_) CloseHandle(server_);
#endif
  }
  Fifo(const Fifo&) = delete;
  Fifo& operator=(const Fifo&) = delete;

  bool made() const { return made_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool made_ = false;
#ifdef _WIN32
  HANDLE server_ = INVALID_HANDLE_VALUE;
#endif
};

#ifdef _WIN32
constexpr const char* kNullDevice = "NUL";
#else
constexpr const char* kNullDevice = "/dev/null";
#endif

// ---- raw binaries ----

TEST(ImageBin, PlacedAtTheAddressWithFillDownToThePage) {
  TempDir dir;
  const std::vector<uint8_t> file = CountingBytes(300, 7);
  const std::string path = dir.Write("app.bin", file);
  const struct {
    uint32_t address;
    uint32_t start;
    size_t fill;
  } cases[] = {
      {0xA000, 0xA000, 0},
      {0xA010, 0xA000, 16},
      {0xA0FF, 0xA000, 255},
      {0, 0, 0},
      {kAddressFromFile, 0xFFFFFF00, 255},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    ProgramImage image;
    ASSERT_TRUE(image.Load(c.address, path));
    EXPECT_EQ(image.start, c.start);
    EXPECT_EQ(image.requested, c.start);
    EXPECT_EQ(image.EffectiveStart(), c.start);
    EXPECT_EQ(image.length, file.size() + c.fill);
    EXPECT_EQ(ImageBytes(image), Concat(Fill(c.fill), file));
  }
}

TEST(ImageBin, RefusesMissingEmptyAndOversizedFiles) {
  TempDir dir;
  const std::string largest = dir.Write("largest.bin", std::vector<uint8_t>(kLargestProgramArea, 0x5A));
  const std::string tooLarge = dir.Write("too_large.bin", std::vector<uint8_t>(kLargestProgramArea + 1, 0x5A));
  ProgramImage image;
  EXPECT_TRUE(image.Load(0, largest));
  EXPECT_EQ(image.length, kLargestProgramArea);
  // With fill in front the same file no longer fits.
  EXPECT_FALSE(image.Load(0x10, largest));
  EXPECT_FALSE(image.Load(0, tooLarge));
  EXPECT_FALSE(image.Load(0, dir.Write("empty.bin", std::string())));
  EXPECT_FALSE(image.Load(0, dir.File("missing.bin")));
  EXPECT_FALSE(image.Load(0, dir.File("")));  // the directory itself
}

TEST(ImageBin, FourGigabyteFileIsRefusedWithoutReadingIt) {
  TempDir dir;
  const std::string path = dir.File("huge.bin");
  dir.Write("huge.bin", std::string());
  std::filesystem::resize_file(path, uint64_t{1} << 32);  // sparse on disk
  ProgramImage image;
  EXPECT_FALSE(image.Load(0, path));
  EXPECT_EQ(image.bytes, nullptr);
}

TEST(ImageBin, ReleaseAndReloadStartFromEmpty) {
  TempDir dir;
  ProgramImage image;
  ASSERT_TRUE(image.Load(0x2010, dir.Write("a.bin", CountingBytes(4))));
  ASSERT_TRUE(image.Load(0x3000, dir.Write("b.bin", CountingBytes(2, 9))));
  EXPECT_EQ(image.start, 0x3000u);
  EXPECT_EQ(ImageBytes(image), CountingBytes(2, 9));
  image.Release();
  EXPECT_EQ(image.start, 0u);
  EXPECT_EQ(image.requested, 0u);
  EXPECT_EQ(image.length, 0u);
  EXPECT_EQ(image.bytes, nullptr);
}

// ---- Intel HEX ----

TEST(ImageHex, PlacementByFileAddressOrMovedToTheGivenOne) {
  TempDir dir;
  const std::string path = dir.Write(
      "app.hex", Lines({DataLine(0x8004, {1, 2, 3, 4}), DataLine(0x8008, {5, 6}), kEndOfFileLine}));
  const struct {
    uint32_t address;
    uint32_t start;
    uint32_t requested;
    uint32_t effective;
    size_t fill;
  } cases[] = {
      {kAddressFromFile, 0x8000, kAddressFromFile, 0x8000, 4},
      {0xA000, 0x8004, 0xA000, 0xA000, 0},
      {0xA010, 0x7FF4, 0xA000, 0xA000, 16},
      {0xA0F0, 0x7F14, 0xA000, 0xA000, 0xF0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    ProgramImage image;
    ASSERT_TRUE(image.Load(c.address, path));
    EXPECT_EQ(image.start, c.start);
    EXPECT_EQ(image.requested, c.requested);
    EXPECT_EQ(image.EffectiveStart(), c.effective);
    EXPECT_EQ(ImageBytes(image), Concat(Fill(c.fill), {1, 2, 3, 4, 5, 6}));
  }
}

TEST(ImageHex, MovedFurtherThanItsLowestAddressWrapsOnlyTheStart) {
  TempDir dir;
  ProgramImage image;
  ASSERT_TRUE(image.Load(0xA0F0, dir.Write("low.hex", Lines({DataLine(0x10, {1, 2})}))));
  EXPECT_EQ(image.start, 0xFFFFFF20u);
  EXPECT_EQ(image.requested, 0xA000u);
  EXPECT_EQ(ImageBytes(image), Concat(Fill(0xF0), {1, 2}));
}

TEST(ImageHex, AddressBasesGapsAndOverlaps) {
  TempDir dir;
  const struct {
    const char* why;
    std::vector<std::string> lines;
    uint32_t start;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"gap holds erased bytes",
       {DataLine(0x100, {1, 2}), DataLine(0x105, {3})},
       0x100, {1, 2, 0xFF, 0xFF, 0xFF, 3}},
      {"records in any order",
       {DataLine(0x105, {3}), DataLine(0x100, {1, 2})},
       0x100, {1, 2, 0xFF, 0xFF, 0xFF, 3}},
      {"later line wins",
       {DataLine(0x100, {1, 2, 3}), DataLine(0x101, {9})},
       0x100, {1, 9, 3}},
      {"linear base",
       {LinearBaseLine(0x0001), DataLine(0x0200, {7, 8})},
       0x10200, {7, 8}},
      {"segment and linear bases add up",
       {SegmentBaseLine(0x1000), LinearBaseLine(0x0002), DataLine(0x0010, {4})},
       0x30000, Concat(Fill(0x10), {4})},
      {"bases change between records",
       {DataLine(0x0000, {1}), LinearBaseLine(0x0000), SegmentBaseLine(0x0010), DataLine(0x0001, {2})},
       0, Concat({1}, Concat(Fill(0x100), {2}))},
      {"records after end of file still count",
       {DataLine(0x100, {1}), kEndOfFileLine, DataLine(0x101, {2})},
       0x100, {1, 2}},
      {"a record of no bytes below the data places nothing",
       {DataLine(0x0000, {}), DataLine(0x8000, {1, 2, 3, 4})},
       0x8000, {1, 2, 3, 4}},
      {"nor above it", {DataLine(0x100, {1}), DataLine(0x104, {})}, 0x100, {1}},
      {"nor far above it", {DataLine(0x100, {1}), LinearBaseLine(0x0F00), DataLine(0, {})}, 0x100, {1}},
      {"ignored record types",
       {image_test::HexLine(0x03, 0, {0, 0, 0, 0}), image_test::HexLine(0x05, 0, {0, 0, 0x80, 0}),
        image_test::HexLine(0x09, 0, {}), DataLine(0x100, {5})},
       0x100, {5}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    ProgramImage image;
    ASSERT_TRUE(image.Load(kAddressFromFile, dir.Write("case.hex", Lines(c.lines))));
    EXPECT_EQ(image.start, c.start);
    EXPECT_EQ(ImageBytes(image), c.bytes);
  }
}

TEST(ImageHex, LineEndsCaseAndBlankLines) {
  TempDir dir;
  const std::string lower = ":0201000001fefe";  // 0x100: 01 FE
  const struct {
    const char* why;
    std::string text;
  } cases[] = {
      {"LF", lower + "\n" + kEndOfFileLine + "\n"},
      {"CR LF", lower + "\r\n" + kEndOfFileLine + "\r\n"},
      {"no final line end", lower + "\n" + kEndOfFileLine},
      {"blank lines anywhere", "\n\r\n" + lower + "\n\n\r\n" + kEndOfFileLine + "\n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    ProgramImage image;
    ASSERT_TRUE(image.Load(kAddressFromFile, dir.Write("app.HEX", c.text)));
    EXPECT_EQ(ImageBytes(image), (std::vector<uint8_t>{0x01, 0xFE}));
  }
}

TEST(ImageHex, FilesWithoutDataBytesLoadEmpty) {
  TempDir dir;
  const std::vector<std::string> texts = {
      Lines({kEndOfFileLine}),
      Lines({DataLine(0x1234, {}), DataLine(0x2000, {}), kEndOfFileLine}),
      Lines({LinearBaseLine(0x0800)}),
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    ProgramImage image;
    ASSERT_TRUE(image.Load(0xA010, dir.Write("empty.hex", text)));
    EXPECT_EQ(image.start, 0u);
    EXPECT_EQ(image.length, 0u);
    EXPECT_EQ(image.requested, 0xA010u);
    EXPECT_EQ(image.bytes, nullptr);
  }
}

TEST(ImageHex, OneBadLineRejectsTheFile) {
  TempDir dir;
  const std::string good = DataLine(0x100, {1, 2});
  const struct {
    const char* why;
    std::string text;
  } cases[] = {
      {"empty file", ""},
      {"only line ends", "\n\r\n\n"},
      {"byte-order mark", "\xEF\xBB\xBF" + Lines({good, kEndOfFileLine})},
      {"blank before colon", Lines({" " + good})},
      {"blank after checksum", Lines({good + " "})},
      {"wrong checksum", Lines({good, ":00000001FE"})},
      {"65 data bytes", Lines({DataLine(0, CountingBytes(65))})},
      {"non-hex digit", Lines({good, ":0201000001ZZFC"})},
      {"bad line after end of file", Lines({good, kEndOfFileLine, "junk"})},
      {"segment record of 1 byte", Lines({image_test::HexLine(0x02, 0, {0x10}), good})},
      {"linear record of 3 bytes", Lines({image_test::HexLine(0x04, 0, {0, 1, 0}), good})},
      {"lone CR ends no line", good + "\r" + kEndOfFileLine + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    ProgramImage image;
    EXPECT_FALSE(image.Load(kAddressFromFile, dir.Write("bad.hex", c.text)));
  }
  ProgramImage image;
  EXPECT_FALSE(image.Load(kAddressFromFile, dir.File("missing.hex")));
}

TEST(ImageHex, ExtentLimitsAndTheEndOfTheAddressSpace) {
  TempDir dir;
  const struct {
    const char* why;
    std::vector<std::string> lines;
    bool loads;
  } cases[] = {
      {"data at 0 and at 0xFFFFFF00",
       {DataLine(0, {1}), LinearBaseLine(0xFFFF), DataLine(0xFF00, {2})}, false},
      {"record runs past 0xFFFFFFFF",
       {LinearBaseLine(0xFFFF), DataLine(0xFFF0, CountingBytes(32))}, false},
      {"record ends exactly at 0xFFFFFFFF",
       {LinearBaseLine(0xFFFF), DataLine(0xFFF0, CountingBytes(16))}, true},
      {"extent of the largest program area",
       {DataLine(0, {1}), LinearBaseLine(0x000F), DataLine(0xEFFF, {2})}, true},
      {"one byte more than the largest program area",
       {DataLine(0, {1}), LinearBaseLine(0x000F), DataLine(0xF000, {2})}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    ProgramImage image;
    EXPECT_EQ(image.Load(kAddressFromFile, dir.Write("edge.hex", Lines(c.lines))), c.loads);
  }
  ProgramImage image;
  ASSERT_TRUE(image.Load(kAddressFromFile,
                         dir.Write("top.hex", Lines({LinearBaseLine(0xFFFF), DataLine(0xFFF0, {0xAB})}))));
  EXPECT_EQ(image.start, 0xFFFFFF00u);
  EXPECT_EQ(ImageBytes(image), Concat(Fill(0xF0), {0xAB}));
}

TEST(ImageHex, HugeTextFileIsRefusedWithoutReadingIt) {
  TempDir dir;
  const std::string path = dir.Write("huge.hex", Lines({DataLine(0, {1})}));
  std::filesystem::resize_file(path, uint64_t{1} << 32);
  ProgramImage image;
  EXPECT_FALSE(image.Load(kAddressFromFile, path));
  EXPECT_EQ(image.bytes, nullptr);
}

TEST(ImageHex, FullFlashOfSixteenByteRecords) {
  TempDir dir;
  std::vector<uint8_t> expected(kLargestProgramArea);
  std::string text;
  for (uint32_t address = 0; address < kLargestProgramArea; address += 16) {
    if (address % 0x10000 == 0) text += LinearBaseLine(static_cast<uint16_t>(address >> 16)) + "\r\n";
    const std::vector<uint8_t> data = CountingBytes(16, static_cast<uint8_t>(address >> 8));
    std::copy(data.begin(), data.end(), expected.begin() + address);
    text += DataLine(static_cast<uint16_t>(address), data) + "\r\n";
  }
  text += kEndOfFileLine + "\r\n";
  ProgramImage image;
  ASSERT_TRUE(image.Load(kAddressFromFile, dir.Write("full.hex", text)));
  EXPECT_EQ(image.start, 0u);
  EXPECT_EQ(ImageBytes(image), expected);
}

// ---- reasons ----

TEST(ImageReasons, HexLinesNamePathLineAndCheck) {
  TempDir dir;
  const std::string good = DataLine(0x100, {1, 2});
  const struct {
    std::string text;
    const char* reason;
  } cases[] = {
      {Lines({good, "junk"}), "{p}:2: the line does not begin with ':'"},
      {Lines({" " + good}), "{p}:1: the line does not begin with ':'"},
      {Lines({":00000001F"}), "{p}:1: the line has 10 characters; a record has an odd number of them, at least 11"},
      {Lines({good + "0"}), "{p}:1: the line has 16 characters; a record has an odd number of them, at least 11"},
      {Lines({":0201000001ZZFC"}), "{p}:1: column 12: 'Z' is not a hexadecimal digit"},
      {Lines({":0G00000001FF"}), "{p}:1: column 3: 'G' is not a hexadecimal digit"},
      {Lines({":02010000010\x01" "FC"}), "{p}:1: column 13: 0x01 is not a hexadecimal digit"},
      {Lines({":030010001122BA"}), "{p}:1: the byte count says 3 data bytes, which take 17 characters; the line has 15"},
      {good + "\r" + kEndOfFileLine + "\n",
       "{p}:1: the byte count says 2 data bytes, which take 15 characters; the line has 27"},
      {":10000000\n0102030405060708090A0B0C0D0E0F10\n",
       "{p}:1: the line has 9 characters; a record has an odd number of them, at least 11"},
      {Lines({DataLine(0, CountingBytes(65))}), "{p}:1: the record holds 65 data bytes; at most 64 are allowed"},
      {"\n\r\n" + good + "\n\n:00000001FE\n", "{p}:5: bad checksum: expected 0xFF, found 0xFE"},
      {Lines({image_test::HexLine(0x02, 0, {0x10}), good}),
       "{p}:1: a type 02 record must hold 2 data bytes, this one holds 1"},
      {Lines({good, image_test::HexLine(0x04, 0, {0, 1, 0})}),
       "{p}:2: a type 04 record must hold 2 data bytes, this one holds 3"},
      {Lines({LinearBaseLine(0xFFFF), DataLine(0xFFF0, CountingBytes(32))}),
       "{p}:2: the record's 32 data bytes at 0xFFFFFFF0 run past 0xFFFFFFFF"},
      {"\n\r\n\n", "'{p}' holds no HEX records, only empty lines"},
      {"", "'{p}' is empty"},
      {Lines({DataLine(0, {1}), LinearBaseLine(0x000F), DataLine(0xF000, {2})}),
       "'{p}': its data from 0x00000000 to 0x000FF000 makes an image of 1044481 bytes, more than the largest "
       "program area (1044480 bytes, 1020 KB)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string path = dir.Write("app.hex", c.text);
    Reasons why;
    ProgramImage image;
    EXPECT_FALSE(image.Load(kAddressFromFile, path, &why));
    EXPECT_EQ(OnlyReason(why, Severity::Error), WithPath(c.reason, path));
  }
}

TEST(ImageReasons, HexFileWithoutDataLoadsEmptyWithItsReason) {
  TempDir dir;
  const std::string path = dir.Write("app.hex", Lines({DataLine(0x100, {}), kEndOfFileLine}));
  Reasons why;
  ProgramImage image;
  EXPECT_TRUE(image.Load(kAddressFromFile, path, &why));
  EXPECT_EQ(image.length, 0u);
  EXPECT_EQ(OnlyReason(why, Severity::Error), "'" + path + "' holds no data: no data record carries a byte");
  EXPECT_EQ(OnlyReason(why, Severity::Error, false), "“" + path + "”中没有数据：没有数据记录含有字节");
}

TEST(ImageReasons, FilesThatCannotBeProgramsSayWhy) {
  TempDir dir;
  const Fifo fifo(dir);
  ASSERT_TRUE(fifo.made()) << fifo.path();
  const struct {
    std::string path;
    uint32_t address;
    const char* english;
    const char* chinese;
  } cases[] = {
      {dir.File("missing.bin"), 0, "cannot open '{p}': No such file or directory",
       "无法打开“{p}”：No such file or directory"},
      {dir.File("missing.hex"), 0, "cannot open '{p}': No such file or directory", nullptr},
      {dir.File(""), 0, "cannot open '{p}': Is a directory", nullptr},
      // A FIFO with no writer is refused at once; a plain open would wait.
      {fifo.path(), 0, "'{p}' is a FIFO, not a regular file; only files can be flashed",
       "“{p}”是命名管道（FIFO），不是普通文件；只能烧录普通文件"},
      {kNullDevice, 0, "'{p}' is a device, not a regular file; only files can be flashed", nullptr},
      {dir.Write("empty.bin", std::string()), 0, "'{p}' is empty", "“{p}”是空文件"},
      {dir.Write("large.bin", std::vector<uint8_t>(kLargestProgramArea + 1)), 0,
       "'{p}' holds 1044481 bytes, more than the largest program area (1044480 bytes, 1020 KB)",
       "“{p}”有 1044481 字节，超过最大的程序区（1044480 字节，1020 KB）"},
      {dir.Write("fits.bin", std::vector<uint8_t>(kLargestProgramArea)), 0x10,
       "'{p}' holds 1044480 bytes; with the 16 bytes of fill in front of 0x00000010 the image is larger than the "
       "largest program area (1044480 bytes, 1020 KB)",
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    Reasons why;
    ProgramImage image;
    EXPECT_FALSE(image.Load(c.address, c.path, &why));
    EXPECT_EQ(OnlyReason(why, Severity::Error), WithPath(c.english, c.path));
    if (c.chinese) {
      EXPECT_EQ(OnlyReason(why, Severity::Error, false), WithPath(c.chinese, c.path));
    }
  }
}

TEST(ImageReasons, UnreadableFileGivesTheSystemsReason) {
#ifndef _WIN32
  if (geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode";
#endif
  TempDir dir;
  const std::string path = dir.Write("locked.bin", CountingBytes(4));
#ifdef _WIN32
  // Held open here without sharing: no one else may open it.
  HANDLE held = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
#else
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
#endif
  Reasons why;
  ProgramImage image;
  EXPECT_FALSE(image.Load(0, path, &why));
  EXPECT_EQ(OnlyReason(why, Severity::Error), "cannot open '" + path + "': Permission denied");
#ifdef _WIN32
  CloseHandle(held);
#endif
}

TEST(ImageReasons, RawFilesInAnotherFormatAreFlashedWithAWarning) {
  TempDir dir;
  const std::string hexText = Lines({DataLine(0, {1, 2}), kEndOfFileLine}, "\r\n");
  const std::vector<uint8_t> elf = {0x7F, 'E', 'L', 'F', 2, 1, 1, 0};
  const struct {
    std::string name;
    std::vector<uint8_t> content;
    const char* warning;
  } cases[] = {
      {"app.ihx", std::vector<uint8_t>(hexText.begin(), hexText.end()),
       "'{p}' holds Intel HEX text; it is flashed as raw bytes, the text itself. Only a file named .hex is read as "
       "Intel HEX"},
      {"app.elf", elf,
       "'{p}' is an ELF file; it is flashed as raw bytes, the whole file as it is. To flash its program, convert it "
       "to Intel HEX (objcopy -O ihex) in a file named .hex"},
      {"app.bin", CountingBytes(64), nullptr},
      {"colon.bin", {':', '0', '0', '\n'}, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.Write(c.name, c.content);
    Reasons why;
    ProgramImage image;
    ASSERT_TRUE(image.Load(0x1000, path, &why));
    EXPECT_EQ(ImageBytes(image), c.content);
    if (c.warning) {
      EXPECT_EQ(OnlyReason(why, Severity::Warning), WithPath(c.warning, path));
    } else {
      EXPECT_TRUE(why.empty());
    }
  }
}

// ---- against GNU objcopy ----

// A HEX file made from a fixed seed, with the lowest address its data has.
// It stays within what both readers agree on; where the loader has a rule of
// its own, the generator keeps clear of it:
// - no two records share a byte: the loader lets the later line win, while
//   objcopy's binary output of overlapping sections follows no stated rule;
// - no record crosses a 64 KB offset boundary: the loader places a record's
//   bytes one after the other, objcopy may wrap them within the segment;
// - the end-of-file record comes last: the loader reads on after it,
//   objcopy stops there;
// - the data spans at most 1020 KB: the loader refuses larger images.
struct GeneratedHex {
  std::string text;
  bool hasData = false;
  uint32_t lowest = 0;
};

class HexFileGenerator {
 public:
  explicit HexFileGenerator(uint32_t seed) : random_(seed) {}

  GeneratedHex Next() {
    GeneratedHex file;
    used_.assign(kLargestProgramArea, false);
    segment_ = linear_ = 0;
    lineEnd_ = Pick(2) == 0 ? "\n" : "\r\n";
    lines_.clear();
    const uint32_t records = 1 + Pick(40);
    // Data near one place, or spread over the whole area.
    const uint32_t window = Pick(3) == 0 ? kLargestProgramArea : 0x2000;
    const uint32_t windowStart = Pick(kLargestProgramArea - window + 1);
    for (uint32_t i = 0; i < records; ++i) {
      if (Pick(12) == 0) Emit(image_test::HexLine(Pick(2) == 0 ? 0x03 : 0x05, 0, {0, 0, 0x12, 0x34}));
      if (Pick(10) == 0) {
        EmitData(windowStart + Pick(window), {});  // places nothing, anywhere
        continue;
      }
      const uint32_t count = 1 + Pick(32);
      const uint32_t address = windowStart + Pick(window - count + 1);
      if (!Claim(address, count)) continue;
      EmitData(address, image_test::CountingBytes(count, static_cast<uint8_t>(random_())));
      file.lowest = file.hasData ? std::min(file.lowest, address) : address;
      file.hasData = true;
    }
    Emit(kEndOfFileLine);
    for (const std::string& line : lines_) file.text += line + lineEnd_;
    return file;
  }

 private:
  uint32_t Pick(uint32_t below) { return static_cast<uint32_t>(random_() % below); }

  bool Claim(uint32_t address, uint32_t count) {
    if ((address & 0xFFFF) + count > 0x10000) return false;
    for (uint32_t i = 0; i < count; ++i) {
      if (used_[address + i]) return false;
    }
    for (uint32_t i = 0; i < count; ++i) used_[address + i] = true;
    return true;
  }

  void Emit(std::string line) {
    if (Pick(4) == 0) line = AsciiLowerCase(line);
    lines_.push_back(line);
  }

  // A data record at an absolute address, through whichever base records
  // reach it: the linear base alone, or a segment base on top of it.
  void EmitData(uint32_t address, const std::vector<uint8_t>& data) {
    const uint64_t base = uint64_t{segment_} * 16 + uint64_t{linear_} * 65536;
    if (address < base || address - base + data.size() > 0x10000 || Pick(8) == 0) {
      linear_ = static_cast<uint16_t>(address >> 16);
      Emit(LinearBaseLine(linear_));
      const uint16_t segment = Pick(3) == 0 ? static_cast<uint16_t>(Pick(((address & 0xFFFF) >> 4) + 1)) : 0;
      if (segment != segment_ || Pick(4) == 0) Emit(SegmentBaseLine(segment));
      segment_ = segment;
    }
    const uint32_t offset = address - segment_ * 16u - linear_ * 65536u;
    Emit(DataLine(static_cast<uint16_t>(offset), data));
  }

  std::mt19937 random_;
  std::vector<bool> used_;
  uint16_t segment_ = 0;
  uint16_t linear_ = 0;
  std::string lineEnd_;
  std::vector<std::string> lines_;
};

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(ImageHexAgainstObjcopy, GeneratedFilesLoadAsObjcopyConvertsThem) {
  if (std::system("objcopy --version >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "objcopy (GNU binutils) is not installed; the comparison is skipped";
  }
  TempDir dir;
  const std::string hexPath = dir.File("generated.hex");
  const std::string binPath = dir.File("objcopy.bin");
  const std::string command = "objcopy -I ihex -O binary --gap-fill 0xff '" + hexPath + "' '" + binPath + "'";
  HexFileGenerator generator(20240611);
  int withData = 0;
  for (int i = 0; i < 300; ++i) {
    const GeneratedHex file = generator.Next();
    SCOPED_TRACE("file " + std::to_string(i) + ":\n" + file.text);
    TempDir::WriteTo(hexPath, file.text);
    std::filesystem::remove(binPath);
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::vector<uint8_t> converted = ReadFileBytes(binPath);
    ProgramImage image;
    ASSERT_TRUE(image.Load(kAddressFromFile, hexPath));
    if (!file.hasData) {
      EXPECT_EQ(image.length, 0u);
      EXPECT_TRUE(converted.empty());
      continue;
    }
    ++withData;
    // objcopy's output begins at the lowest data byte; the image at the
    // 256-byte boundary below it.
    const uint32_t front = file.lowest % kImageAlignment;
    EXPECT_EQ(image.start, file.lowest - front);
    ASSERT_EQ(ImageBytes(image), Concat(Fill(front), converted));
  }
  EXPECT_GT(withData, 250);
}

}  // namespace
