// Hexadecimal digit pairs of Intel HEX text, decoded by table: one look-up
// per character, and one test per record for "every character was a digit".
#pragma once

#include <array>
#include <cstdint>

namespace hex_digits {

// Set in a table entry for a character that is no hexadecimal digit; ORed
// over a run of look-ups it says whether any character was bad.
constexpr uint16_t kNotADigit = 0x100;

constexpr std::array<uint16_t, 256> MakeDigitTable() {
  std::array<uint16_t, 256> table{};
  for (unsigned c = 0; c < 256; ++c) {
    table[c] = kNotADigit;
    if (c >= '0' && c <= '9') table[c] = static_cast<uint16_t>(c - '0');
    if (c >= 'a' && c <= 'f') table[c] = static_cast<uint16_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') table[c] = static_cast<uint16_t>(c - 'A' + 10);
  }
  return table;
}

inline constexpr std::array<uint16_t, 256> kDigitValue = MakeDigitTable();

inline uint16_t DigitValue(char c) { return kDigitValue[static_cast<unsigned char>(c)]; }

// The byte written as two digits at text[0] and text[1], with kNotADigit set
// when either is no digit.
inline uint16_t DecodePair(const char* text) {
  const uint16_t high = DigitValue(text[0]);
  const uint16_t low = DigitValue(text[1]);
  return static_cast<uint16_t>((high << 4 | low) | ((high | low) & kNotADigit));
}

}  // namespace hex_digits
