// Intel HEX loading: the file is read into memory once, then its lines are
// walked twice, first to validate them and find the extent of the data, then
// to copy the data into one buffer prefilled with the erased-flash value.
#include <cstring>
#include <memory>
#include <new>

#include "image/file_bytes.h"
#include "image/program_image.h"

namespace {

// A HEX file for the largest flash written with one data byte per record
// takes about 15 bytes of text per byte, some 15.7 MB for 1020 KB; anything
// beyond twice that cannot be a program for this chip and is not read.
constexpr uint64_t kLargestHexFileSize = 32u * 1024u * 1024u;

constexpr uint8_t kDataRecord = 0x00;
constexpr uint8_t kSegmentAddressRecord = 0x02;
constexpr uint8_t kLinearAddressRecord = 0x04;
constexpr uint64_t kAddressSpaceEnd = 0x100000000ull;

// The non-empty lines of a text, without their line ends ("\n" or "\r\n").
class HexLines {
 public:
  explicit HexLines(std::string_view text) : rest_(text) {}

  bool Next(std::string_view& line) {
    while (!rest_.empty()) {
      const size_t feed = rest_.find('\n');
      line = rest_.substr(0, feed);
      rest_ = feed == std::string_view::npos ? std::string_view() : rest_.substr(feed + 1);
      if (feed != std::string_view::npos && !line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
      }
      if (!line.empty()) {
        return true;
      }
    }
    return false;
  }

 private:
  std::string_view rest_;
};

// The address bases set by type 02 and 04 records.
struct AddressBases {
  uint32_t segmentBase = 0;
  uint32_t linearBase = 0;

  // False for a base record of the wrong size.
  bool Apply(const HexRecord& record) {
    const uint32_t value = static_cast<uint32_t>(record.data[0] << 8 | record.data[1]);
    if (record.type == kSegmentAddressRecord) {
      if (record.count != 2) return false;
      segmentBase = value * 16u;
    } else if (record.type == kLinearAddressRecord) {
      if (record.count != 2) return false;
      linearBase = value * 65536u;
    }
    return true;
  }

  uint32_t AbsoluteAddress(const HexRecord& record) const {
    return record.offset + segmentBase + linearBase;
  }
};

struct DataExtent {
  bool seen = false;
  bool anyBytes = false;  // records of no bytes mark addresses but hold nothing
  uint32_t lowest = 0;
  uint64_t highest = 0;  // one past the last byte; may be 2^32
};

// First pass: every line valid, every data record inside the 32-bit address
// space; finds where the data lies.
bool ScanHexText(std::string_view text, DataExtent& extent) {
  HexLines lines(text);
  std::string_view line;
  bool anyLine = false;
  AddressBases bases;
  HexRecord record;
  while (lines.Next(line)) {
    anyLine = true;
    if (!ParseHexRecord(line, record) || !bases.Apply(record)) {
      return false;
    }
    if (record.type != kDataRecord) {
      continue;
    }
    const uint32_t address = bases.AbsoluteAddress(record);
    const uint64_t end = uint64_t{address} + record.count;
    if (end > kAddressSpaceEnd) {
      return false;
    }
    if (!extent.seen || address < extent.lowest) extent.lowest = address;
    if (!extent.seen || end > extent.highest) extent.highest = end;
    extent.seen = true;
    extent.anyBytes = extent.anyBytes || record.count != 0;
  }
  return anyLine;
}

// Second pass over text that ScanHexText accepted.
void PlaceHexData(std::string_view text, uint32_t start, uint8_t* image) {
  HexLines lines(text);
  std::string_view line;
  AddressBases bases;
  HexRecord record;
  while (lines.Next(line)) {
    ParseHexRecord(line, record);
    bases.Apply(record);
    if (record.type == kDataRecord) {
      const uint32_t offset = bases.AbsoluteAddress(record) - start;
      std::memcpy(image + offset, record.data, record.count);
    }
  }
}

}  // namespace

bool ProgramImage::LoadHex(const std::string& path, Reasons* /*why*/) {
  BinaryFileReader file;
  uint64_t size = 0;
  if (!file.Open(path) || !file.QuerySize(size) || size > kLargestHexFileSize) {
    return false;
  }
  std::unique_ptr<char[]> text(new (std::nothrow) char[size + 1]);
  if (!text || !file.ReadAll(reinterpret_cast<uint8_t*>(text.get()), size)) {
    return false;
  }
  const std::string_view hexText(text.get(), size);
  DataExtent extent;
  if (!ScanHexText(hexText, extent)) {
    return false;
  }
  if (!extent.anyBytes) {
    return true;  // no data bytes: an empty image, refused by the caller
  }
  // Bytes in front of the lowest data byte: up to the 256-byte boundary below
  // it, or, when the image is moved, as many as the requested address lies
  // past its own boundary.
  const uint32_t front = requested == kAddressFromFile ? extent.lowest % kImageAlignment
                                                       : requested % kImageAlignment;
  const uint64_t imageSize = extent.highest - extent.lowest + front;
  if (imageSize > kLargestProgramArea) {
    return false;
  }
  if (requested != kAddressFromFile) {
    requested -= front;
  }
  start = extent.lowest - front;
  length = static_cast<uint32_t>(imageSize);
  bytes.reset(new (std::nothrow) uint8_t[length]);
  if (!bytes) {
    length = 0;
    return false;
  }
  std::memset(bytes.get(), kErasedFlashByte, length);
  PlaceHexData(hexText, start, bytes.get());
  return true;
}
