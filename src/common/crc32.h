// CRC-32 as zlib's crc32() and the crc32 tool compute it (IEEE 802.3:
// reflected polynomial 0xEDB88320, all ones in and out), so a figure the
// tool prints can be checked against a file with everyday tools.
#pragma once

#include <cstddef>
#include <cstdint>

inline uint32_t Crc32(const uint8_t* data, size_t length) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}
