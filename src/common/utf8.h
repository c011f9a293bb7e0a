// UTF-8 in one place: what the platforms build from the HID library's wide
// strings, and what the station's log checks before it writes a device's text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Appends one code point; a surrogate or a value past U+10FFFF becomes U+FFFD.
inline void AppendUtf8(std::string& out, uint32_t codePoint) {
  if (codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) codePoint = 0xFFFD;
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
    return;
  }
  // Lead byte, then six bits per continuation byte, most significant first.
  const int continuation = codePoint < 0x800 ? 1 : codePoint < 0x10000 ? 2 : 3;
  static const unsigned char kLeadMarks[] = {0, 0xC0, 0xE0, 0xF0};
  out += static_cast<char>(kLeadMarks[continuation] | (codePoint >> (6 * continuation)));
  for (int shift = 6 * (continuation - 1); shift >= 0; shift -= 6) {
    out += static_cast<char>(0x80 | ((codePoint >> shift) & 0x3F));
  }
}

// The length of the valid UTF-8 sequence at text[at], or 0 (a stray or
// overlong byte, a surrogate, a sequence cut short).
inline size_t Utf8SequenceAt(const std::string& text, size_t at) {
  const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  size_t length = 0;
  uint32_t lowest = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    lowest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    lowest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    lowest = 0x10000;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  uint32_t code = lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code = code << 6 | (byte(at + i) & 0x3F);
  }
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  return code < lowest || code > 0x10FFFF || surrogate ? 0 : length;
}
