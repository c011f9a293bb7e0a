// The one rule by which option values and shell arguments become numbers:
// leading white space, an optional sign, (base 16: an optional 0x), then the
// longest run of digits; anything after the digits is ignored.
#pragma once

#include <cstdint>
#include <string_view>

enum class NumberError { None, Invalid, OutOfRange };

// A signed 32-bit value. Invalid: no digit. OutOfRange: outside int32.
NumberError ConvertInt32(std::string_view text, int base, int32_t& value);

// A base-16 address: like ConvertInt32, but any value up to 0xFFFFFFFF is
// accepted, and a negative one (down to -0x80000000) is taken in two's
// complement ("-1" is 0xFFFFFFFF).
NumberError ConvertAddress(std::string_view text, uint32_t& value);

// The text the rule ignores after the digits ("fw.bin" gives ".bin" in base
// 16), without trailing white space; empty when nothing is ignored or the
// text holds no number at all.
std::string_view TextAfterNumber(std::string_view text, int base);

// Seconds written as digits with an optional decimal point ("2.5", "10",
// ".5"), as a count of milliseconds rounded up: a wait is never cut shorter
// than asked. Invalid: anything else, a sign included, or zero.
// OutOfRange: longer than the largest int32 count of milliseconds.
NumberError ConvertSecondsToMs(std::string_view text, int32_t& milliseconds);
