#include "options/number_rule.h"

#include <algorithm>

namespace {

// Magnitudes are clamped here while digits are read: far above any value
// that is accepted, far below what 64 bits can hold.
constexpr uint64_t kClampedMagnitude = uint64_t{1} << 40;
constexpr uint64_t kMostNegativeMagnitude = uint64_t{1} << 31;  // -0x80000000
constexpr uint64_t kMostPositiveInt32 = 0x7FFFFFFFu;
constexpr uint64_t kMostPositiveAddress = 0xFFFFFFFFu;

bool IsWhiteSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// The digit's value in bases up to 36, or -1 for no digit.
int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return -1;
}

bool IsDigitOfBase(std::string_view text, size_t pos, int base) {
  if (pos >= text.size()) return false;
  const int value = DigitValue(text[pos]);
  return value >= 0 && value < base;
}

struct SignedMagnitude {
  bool negative = false;
  uint64_t magnitude = 0;
};

// Reads the number at the front of text; false when no digit is found.
// "0x" counts as a prefix only when a hexadecimal digit follows it, so "0x"
// alone reads as the number 0. end receives the position after the digits.
bool ReadNumber(std::string_view text, int base, SignedMagnitude& number, size_t* end = nullptr) {
  if (base < 2 || base > 36) return false;
  size_t pos = 0;
  while (pos < text.size() && IsWhiteSpace(text[pos])) ++pos;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    number.negative = text[pos] == '-';
    ++pos;
  }
  if (base == 16 && pos + 1 < text.size() && text[pos] == '0' &&
      (text[pos + 1] == 'x' || text[pos + 1] == 'X') && IsDigitOfBase(text, pos + 2, 16)) {
    pos += 2;
  }
  if (!IsDigitOfBase(text, pos, base)) return false;
  for (; IsDigitOfBase(text, pos, base); ++pos) {
    const uint64_t next = number.magnitude * static_cast<uint64_t>(base) +
                          static_cast<uint64_t>(DigitValue(text[pos]));
    number.magnitude = std::min(next, kClampedMagnitude);
  }
  if (end != nullptr) *end = pos;
  return true;
}

}  // namespace

NumberError ConvertInt32(std::string_view text, int base, int32_t& value) {
  SignedMagnitude number;
  if (!ReadNumber(text, base, number)) return NumberError::Invalid;
  const uint64_t limit = number.negative ? kMostNegativeMagnitude : kMostPositiveInt32;
  if (number.magnitude > limit) return NumberError::OutOfRange;
  const int64_t signedValue = number.negative ? -static_cast<int64_t>(number.magnitude)
                                              : static_cast<int64_t>(number.magnitude);
  value = static_cast<int32_t>(signedValue);
  return NumberError::None;
}

NumberError ConvertAddress(std::string_view text, uint32_t& value) {
  SignedMagnitude number;
  if (!ReadNumber(text, 16, number)) return NumberError::Invalid;
  const uint64_t limit = number.negative ? kMostNegativeMagnitude : kMostPositiveAddress;
  if (number.magnitude > limit) return NumberError::OutOfRange;
  // A negative address wraps like a two's-complement 32-bit value.
  const uint32_t magnitude = static_cast<uint32_t>(number.magnitude);
  value = number.negative ? 0u - magnitude : magnitude;
  return NumberError::None;
}

std::string_view TextAfterNumber(std::string_view text, int base) {
  SignedMagnitude number;
  size_t end = 0;
  if (!ReadNumber(text, base, number, &end)) return {};
  std::string_view rest = text.substr(end);
  while (!rest.empty() && IsWhiteSpace(rest.back())) rest.remove_suffix(1);
  return rest;
}

NumberError ConvertSecondsToMs(std::string_view text, int32_t& milliseconds) {
  const size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  const std::string_view fraction = point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
  const auto allDigits = [](std::string_view part) {
    return std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (whole.size() + fraction.size() == 0 || !allDigits(whole) || !allDigits(fraction)) {
    return NumberError::Invalid;
  }
  uint64_t ms = 0;
  for (char digit : whole) ms = std::min(ms * 10 + static_cast<uint64_t>(digit - '0'), kClampedMagnitude);
  ms *= 1000;
  uint64_t scale = 100;
  for (size_t i = 0; i < fraction.size(); ++i) {
    const uint64_t digit = static_cast<uint64_t>(fraction[i] - '0');
    if (scale > 0) {
      ms += digit * scale;
      scale /= 10;
    } else if (digit != 0) {
      ++ms;  // a part of a millisecond counts as a whole one
      break;
    }
  }
  if (ms == 0) return NumberError::Invalid;
  if (ms > kMostPositiveInt32) return NumberError::OutOfRange;
  milliseconds = static_cast<int32_t>(ms);
  return NumberError::None;
}
