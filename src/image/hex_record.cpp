// One line of an Intel HEX file: ":" count offset type data checksum, every
// field in pairs of hexadecimal digits.
#include <cstddef>

#include "image/program_image.h"

namespace {

// ":" + count + offset (4 digits) + type + checksum, with no data.
constexpr size_t kShortestRecordLine = 11;
constexpr uint8_t kMostRecordBytes = 64;

int HexDigitValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  return -1;
}

// The byte written as two digits at pos and pos + 1.
bool ReadHexByte(std::string_view line, size_t pos, uint8_t& value) {
  const int high = HexDigitValue(line[pos]);
  const int low = HexDigitValue(line[pos + 1]);
  if (high < 0 || low < 0) {
    return false;
  }
  value = static_cast<uint8_t>(high * 16 + low);
  return true;
}

// Every byte after the colon, checksum included, must sum to 0 modulo 256.
// Also proves that every character after the colon is a hexadecimal digit.
bool HasValidChecksum(std::string_view line) {
  uint8_t sum = 0;
  for (size_t pos = 1; pos + 1 < line.size(); pos += 2) {
    uint8_t value = 0;
    if (!ReadHexByte(line, pos, value)) {
      return false;
    }
    sum = static_cast<uint8_t>(sum + value);
  }
  return sum == 0;
}

}  // namespace

bool ParseHexRecord(std::string_view line, HexRecord& record) {
  if (line.size() < kShortestRecordLine || line[0] != ':' || line.size() % 2 == 0) {
    return false;
  }
  if (!HasValidChecksum(line)) {
    return false;
  }
  uint8_t count = 0;
  ReadHexByte(line, 1, count);
  if (count > kMostRecordBytes || line.size() != 2u * count + kShortestRecordLine) {
    return false;
  }
  uint8_t offsetHigh = 0;
  uint8_t offsetLow = 0;
  ReadHexByte(line, 3, offsetHigh);
  ReadHexByte(line, 5, offsetLow);
  record.count = count;
  record.offset = static_cast<uint16_t>(offsetHigh << 8 | offsetLow);
  ReadHexByte(line, 7, record.type);
  for (size_t i = 0; i < count; ++i) {
    ReadHexByte(line, 9 + 2 * i, record.data[i]);
  }
  return true;
}
