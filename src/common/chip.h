// The Orvel chip's geometry, in one place: its flash sizes, the program area
// each one leaves, and the flash's erase unit.
#pragma once

#include <cstdint>

// The bootloader erases flash in sectors of this many bytes.
constexpr uint32_t kSectorSize = 4096;

// flash_size 0, 1 and 2 select a 256 KB, 512 KB or 1 MB chip.
constexpr uint8_t kLargestFlashSize = 2;

// The first address past the program area of a chip, by its flash size: the
// last 4 KB of every flash belong to the bootloader. A size past the largest
// is taken as the smallest chip.
constexpr uint32_t ProgramAreaEnd(uint8_t flash_size) {
  switch (flash_size) {
    case 1:
      return 0x7F000;
    case 2:
      return 0xFF000;
    default:
      return 0x3F000;
  }
}

// The largest program area of any chip (1020 KB): no image may be larger.
constexpr uint32_t kLargestProgramArea = ProgramAreaEnd(kLargestFlashSize);

// The end of the largest flash (1 MB from address 0): how far a read may go.
constexpr uint32_t kLargestFlashEnd = 0x100000;
