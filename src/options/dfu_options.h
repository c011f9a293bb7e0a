// The dfu options: settings, program entries, and the loaded program list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/reason.h"
#include "image/program_image.h"

struct ProgramEntry {
  uint32_t addr = 0;
  std::string pg_path;  // at most 511 bytes
};

// flash_size selects one of the program areas 0 (252 KB), 1 (508 KB) and 2 (1020 KB).
constexpr uint8_t kLargestFlashSize = 2;

struct DfuSettings {
  uint16_t vendor_id = 0x0000;
  uint16_t product_id = 0xC081;
  int8_t interface_number = -1;
  uint8_t wait = 0;
  uint8_t flash_size = 1;
  uint8_t mode = 0;
  std::vector<ProgramEntry> programs;
};

// Loaded programs, in ascending order of effective start, never overlapping.
struct ProgramImageList {
  std::vector<ProgramImage> images;
  uint32_t areaEnd = 0;
  int32_t count() const { return static_cast<int32_t>(images.size()); }
};

extern DfuSettings theDfuSettings;
extern ProgramImageList theProgramImageList;

// How option names (-w, -s, -m, -p) are matched: exactly on the command
// line, without regard to case at the shell's prompt.
enum class OptionNameCase { Exact, Insensitive };

// why, when given, receives the reasons a command line is refused and any
// warnings about words that were read in a way the user may not expect.
bool ParseDfuOptions(const std::vector<std::string>& words,
                     OptionNameCase nameCase = OptionNameCase::Exact, Reasons* why = nullptr);
bool AddProgramEntry(uint32_t addr, std::string pg_path, Reasons* why = nullptr);
// 1: every program loaded and placed; -1: no program; -3: a program failed.
int32_t LoadPrograms(Reasons* why = nullptr);
void ClearProgramImageList();
