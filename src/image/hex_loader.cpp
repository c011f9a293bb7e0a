// Intel HEX loading: the file is read into memory once, then its lines are
// walked twice, first to validate them and find the extent of the data, then
// to copy the data into one buffer prefilled with the erased-flash value.
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "image/hex_digits.h"
#include "image/program_file.h"
#include "image/program_image.h"

namespace {

using hex_digits::DecodePair;
using hex_digits::kNotADigit;

// A HEX file for the largest flash written with one data byte per record
// takes about 15 bytes of text per byte, some 15.7 MB for 1020 KB; anything
// beyond twice that cannot be a program for this chip and is not read.
constexpr uint64_t kLargestHexFileSize = 32u * 1024u * 1024u;

constexpr uint8_t kDataRecord = 0x00;
constexpr uint8_t kSegmentAddressRecord = 0x02;
constexpr uint8_t kLinearAddressRecord = 0x04;
constexpr uint64_t kAddressSpaceEnd = 0x100000000ull;
constexpr size_t kShortestRecordLine = 11;

// The lines of a text, numbered from 1 (empty lines count, but Next skips
// them). A line ends at "\n", a "\r" just before it belongs to the line end,
// and the last line needs no line end.
class HexLines {
 public:
  explicit HexLines(std::string_view text) : text_(text) {}

  // The next non-empty line. A line that begins like a record is taken to be
  // as long as its byte count says when a line end follows there, so valid
  // text is never searched for line ends.
  bool Next(std::string_view& line) {
    while (pos_ < text_.size()) {
      ++number_;
      const size_t start = pos_;
      size_t end = start + RecordLength(start);
      pos_ = NextLineAt(end);
      if (pos_ == 0) {
        end = SearchLineEnd(start);
        pos_ = end == text_.size() ? end : text_.find('\n', end) + 1;
      }
      line = text_.substr(start, end - start);
      if (!line.empty()) return true;
    }
    return false;
  }

  // The whole line that begins where a line from Next does. They differ
  // only when that line failed as a record (a line end inside the length its
  // byte count gave); this one is the line to report.
  std::string_view WholeLine(std::string_view line) const {
    const size_t start = static_cast<size_t>(line.data() - text_.data());
    return text_.substr(start, SearchLineEnd(start) - start);
  }

  int number() const { return number_; }

 private:
  // The length of the line at start if it is a record, from its byte count;
  // 0 when it does not begin like one.
  size_t RecordLength(size_t start) const {
    if (text_.size() - start < 3 || text_[start] != ':') return 0;
    const uint16_t count = DecodePair(text_.data() + start + 1);
    return (count & kNotADigit) ? 0 : 2u * count + kShortestRecordLine;
  }

  // Where the next line begins when a line ends at `end`; 0 when none does.
  size_t NextLineAt(size_t end) const {
    if (end >= text_.size()) return end == text_.size() ? end : 0;
    if (text_[end] == '\n') return end + 1;
    if (text_[end] == '\r' && end + 1 < text_.size() && text_[end + 1] == '\n') return end + 2;
    return 0;
  }

  // Where the text of the line that begins at start ends.
  size_t SearchLineEnd(size_t start) const {
    const size_t feed = text_.find('\n', start);
    if (feed == std::string_view::npos) return text_.size();
    return feed > start && text_[feed - 1] == '\r' ? feed - 1 : feed;
  }

  std::string_view text_;
  size_t pos_ = 0;
  int number_ = 0;
};

// The address bases set by type 02 and 04 records.
struct AddressBases {
  uint32_t segmentBase = 0;
  uint32_t linearBase = 0;

  static bool IsBaseRecord(uint8_t type) {
    return type == kSegmentAddressRecord || type == kLinearAddressRecord;
  }

  void Set(uint8_t type, uint32_t value) {
    if (type == kSegmentAddressRecord) segmentBase = value * 16u;
    if (type == kLinearAddressRecord) linearBase = value * 65536u;
  }

  uint32_t AbsoluteAddress(uint16_t offset) const { return offset + segmentBase + linearBase; }
};

// Where the data bytes lie; records of no bytes place nothing.
struct DataExtent {
  bool seen = false;
  uint32_t lowest = 0;
  uint64_t highest = 0;  // one past the last byte; may be 2^32
};

// A character of the file as it can be shown: in quotes when printable.
std::string CharacterText(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte >= 0x20 && byte < 0x7F) return std::string("'") + c + "'";
  return ByteText(byte);
}

void AddHexLineReason(Reasons* why, const std::string& path, int lineNumber, const HexLineError& error) {
  using Fault = HexLineError::Fault;
  std::vector<std::string> args = {path, std::to_string(lineNumber)};
  switch (error.fault) {
    case Fault::None:
      break;
    case Fault::NoColon:
      AddError(why, "{0}:{1}: the line does not begin with ':'", "{0}:{1}: 该行不以“:”开头", args);
      break;
    case Fault::BadLength:
      args.push_back(std::to_string(error.length));
      AddError(why, "{0}:{1}: the line has {2} characters; a record has an odd number of them, at least 11",
               "{0}:{1}: 该行有 {2} 个字符；一条记录的字符数为奇数，至少 11 个", args);
      break;
    case Fault::NotHexDigit:
      args.push_back(std::to_string(error.column));
      args.push_back(CharacterText(error.character));
      AddError(why, "{0}:{1}: column {2}: {3} is not a hexadecimal digit",
               "{0}:{1}: 第 {2} 列：{3} 不是十六进制数字", args);
      break;
    case Fault::TooManyBytes:
      args.push_back(std::to_string(error.count));
      AddError(why, "{0}:{1}: the record holds {2} data bytes; at most 64 are allowed",
               "{0}:{1}: 该记录有 {2} 个数据字节；最多允许 64 个", args);
      break;
    case Fault::CountMismatch:
      args.push_back(std::to_string(error.count));
      args.push_back(std::to_string(2u * error.count + kShortestRecordLine));
      args.push_back(std::to_string(error.length));
      AddError(why, "{0}:{1}: the byte count says {2} data bytes, which take {3} characters; the line has {4}",
               "{0}:{1}: 字节数为 {2} 个数据字节，应有 {3} 个字符；该行有 {4} 个", args);
      break;
    case Fault::BadChecksum:
      args.push_back(ByteText(error.expected));
      args.push_back(ByteText(error.found));
      AddError(why, "{0}:{1}: bad checksum: expected {2}, found {3}", "{0}:{1}: 校验和错误：应为 {2}，实为 {3}",
               args);
      break;
    case Fault::BaseRecordSize:
      args.push_back(error.type == kSegmentAddressRecord ? "02" : "04");
      args.push_back(std::to_string(error.count));
      AddError(why, "{0}:{1}: a type {2} record must hold 2 data bytes, this one holds {3}",
               "{0}:{1}: 类型 {2} 的记录必须有 2 个数据字节，该记录有 {3} 个", args);
      break;
    case Fault::PastAddressSpace:
      args.push_back(std::to_string(error.count));
      args.push_back(AddressText(error.address));
      AddError(why, "{0}:{1}: the record's {2} data bytes at {3} run past 0xFFFFFFFF",
               "{0}:{1}: 该记录位于 {3} 的 {2} 个数据字节超出 0xFFFFFFFF", args);
      break;
  }
}

// First pass: every line valid, every data record inside the 32-bit address
// space; finds where the data lies.
bool ScanHexText(std::string_view text, const std::string& path, DataExtent& extent, Reasons* why) {
  HexLines lines(text);
  std::string_view line;
  bool anyLine = false;
  AddressBases bases;
  HexRecord record;
  HexLineError error;
  while (lines.Next(line)) {
    anyLine = true;
    if (!ParseHexRecord(line, record, error)) {
      ParseHexRecord(lines.WholeLine(line), record, error);
    } else if (AddressBases::IsBaseRecord(record.type)) {
      if (record.count == 2) {
        bases.Set(record.type, static_cast<uint32_t>(record.data[0] << 8 | record.data[1]));
        continue;
      }
      error.fault = HexLineError::Fault::BaseRecordSize;
      error.type = record.type;
      error.count = record.count;
    } else if (record.type != kDataRecord || record.count == 0) {
      continue;
    } else {
      const uint32_t address = bases.AbsoluteAddress(record.offset);
      const uint64_t end = uint64_t{address} + record.count;
      if (end <= kAddressSpaceEnd) {
        if (!extent.seen || address < extent.lowest) extent.lowest = address;
        if (!extent.seen || end > extent.highest) extent.highest = end;
        extent.seen = true;
        continue;
      }
      error.fault = HexLineError::Fault::PastAddressSpace;
      error.count = record.count;
      error.address = address;
    }
    AddHexLineReason(why, path, lines.number(), error);
    return false;
  }
  if (!anyLine) {
    AddError(why, "'{0}' holds no HEX records, only empty lines", "“{0}”中没有 HEX 记录，只有空行", {path});
  }
  return anyLine;
}

uint16_t DecodeWord(const char* digits) {
  return static_cast<uint16_t>(DecodePair(digits) << 8 | DecodePair(digits + 2));
}

// Second pass over text that ScanHexText accepted: only the fields the
// placement needs are decoded, straight into the image.
void PlaceHexData(std::string_view text, uint32_t start, uint8_t* image) {
  HexLines lines(text);
  std::string_view line;
  AddressBases bases;
  while (lines.Next(line)) {
    const char* digits = line.data() + 1;
    const uint8_t count = static_cast<uint8_t>(DecodePair(digits));
    const uint8_t type = static_cast<uint8_t>(DecodePair(digits + 6));
    if (type == kDataRecord) {
      uint8_t* out = image + (bases.AbsoluteAddress(DecodeWord(digits + 2)) - start);
      for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(DecodePair(digits + 8 + 2 * i));
    } else if (AddressBases::IsBaseRecord(type)) {
      bases.Set(type, DecodeWord(digits + 8));
    }
  }
}

}  // namespace

bool ProgramImage::LoadHex(const std::string& path, Reasons* why) {
  platform::InputFile file;
  if (!OpenProgramFile(file, path, why)) return false;
  const uint64_t size = file.size();
  if (size > kLargestHexFileSize) {
    AddError(why, "'{0}' holds {1} bytes of text, more than any HEX file of a program for this chip ({2} bytes)",
             "“{0}”有 {1} 字节文本，超过本芯片任何程序的 HEX 文件的大小（{2} 字节）",
             {path, std::to_string(size), std::to_string(kLargestHexFileSize)});
    return false;
  }
  std::unique_ptr<char[]> text(new (std::nothrow) char[size]);
  if (!text) {
    AddOutOfMemoryReason(why, path, size);
    return false;
  }
  if (!ReadProgramFile(file, path, text.get(), size, why)) return false;
  return LoadHexText(std::string_view(text.get(), size), path, why);
}

bool ProgramImage::LoadHexText(std::string_view text, const std::string& path, Reasons* why) {
  DataExtent extent;
  if (!ScanHexText(text, path, extent, why)) return false;
  if (!extent.seen) {
    // An empty image, refused by every caller.
    AddError(why, "'{0}' holds no data: no data record carries a byte", "“{0}”中没有数据：没有数据记录含有字节",
             {path});
    return true;
  }
  // Bytes in front of the lowest data byte: up to the 256-byte boundary below
  // it, or, when the image is moved, as many as the requested address lies
  // past its own boundary.
  const uint32_t front = requested == kAddressFromFile ? extent.lowest % kImageAlignment
                                                       : requested % kImageAlignment;
  const uint64_t imageSize = extent.highest - extent.lowest + front;
  if (imageSize > kLargestProgramArea) {
    AddError(why, "'{0}': its data from {1} to {2} makes an image of {3} bytes, more than the largest program area "
                  "({4} bytes, 1020 KB)",
             "“{0}”：从 {1} 到 {2} 的数据构成 {3} 字节的映像，超过最大的程序区（{4} 字节，1020 KB）",
             {path, AddressText(extent.lowest), AddressText(static_cast<uint32_t>(extent.highest - 1)),
              std::to_string(imageSize), std::to_string(kLargestProgramArea)});
    return false;
  }
  if (requested != kAddressFromFile) {
    requested -= front;
  }
  start = extent.lowest - front;
  length = static_cast<uint32_t>(imageSize);
  bytes.reset(new (std::nothrow) uint8_t[length]);
  if (!bytes) {
    AddOutOfMemoryReason(why, path, length);
    length = 0;
    return false;
  }
  std::memset(bytes.get(), kErasedFlashByte, length);
  PlaceHexData(text, start, bytes.get());
  return true;
}
