// One line of an Intel HEX file: ":" count offset type data checksum, every
// field in pairs of hexadecimal digits.
#include <cstddef>

#include "image/hex_digits.h"
#include "image/program_image.h"

namespace {

using hex_digits::DecodePair;
using hex_digits::kNotADigit;

// ":" + count + offset (4 digits) + type + checksum, with no data.
constexpr size_t kShortestRecordLine = 11;
constexpr uint8_t kMostRecordBytes = 64;
// count, offset (2), type, data, checksum
constexpr size_t kMostLineBytes = 4 + kMostRecordBytes + 1;

bool Fail(HexLineError& error, HexLineError::Fault fault) {
  error.fault = fault;
  return false;
}

// Names the first character after the colon that is no hexadecimal digit;
// the caller knows there is one.
bool FailAtFirstNonDigit(std::string_view line, HexLineError& error) {
  size_t pos = 1;
  while (pos < line.size() && hex_digits::DigitValue(line[pos]) != kNotADigit) ++pos;
  error.column = pos + 1;
  error.character = pos < line.size() ? line[pos] : '\0';
  return Fail(error, HexLineError::Fault::NotHexDigit);
}

}  // namespace

bool ParseHexRecord(std::string_view line, HexRecord& record, HexLineError& error) {
  error = HexLineError{};
  error.length = line.size();
  if (line.empty() || line[0] != ':') return Fail(error, HexLineError::Fault::NoColon);
  if (line.size() < kShortestRecordLine || line.size() % 2 == 0) {
    return Fail(error, HexLineError::Fault::BadLength);
  }
  // The length is checked against the count before any other digit is read.
  const uint16_t count = DecodePair(line.data() + 1);
  if (count & kNotADigit) return FailAtFirstNonDigit(line, error);
  error.count = static_cast<uint8_t>(count);
  if (count > kMostRecordBytes) return Fail(error, HexLineError::Fault::TooManyBytes);
  if (line.size() != 2u * count + kShortestRecordLine) {
    return Fail(error, HexLineError::Fault::CountMismatch);
  }
  const size_t byteCount = count + 5u;
  uint8_t bytes[kMostLineBytes];
  uint16_t bad = 0;
  unsigned sum = 0;
  for (size_t i = 0; i < byteCount; ++i) {
    const uint16_t value = DecodePair(line.data() + 1 + 2 * i);
    bad |= value;
    bytes[i] = static_cast<uint8_t>(value);
    sum += bytes[i];
  }
  if (bad & kNotADigit) return FailAtFirstNonDigit(line, error);
  if (sum % 256 != 0) {
    error.found = bytes[byteCount - 1];
    error.expected = static_cast<uint8_t>(error.found - sum);
    return Fail(error, HexLineError::Fault::BadChecksum);
  }
  record.count = static_cast<uint8_t>(count);
  record.offset = static_cast<uint16_t>(bytes[1] << 8 | bytes[2]);
  record.type = bytes[3];
  for (size_t i = 0; i < count; ++i) record.data[i] = bytes[4 + i];
  return true;
}

bool ParseHexRecord(std::string_view line, HexRecord& record) {
  HexLineError ignored;
  return ParseHexRecord(line, record, ignored);
}
