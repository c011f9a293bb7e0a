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

// What a command line asks for instead of a job. Actions are named only on
// the command line; at the prompt they are not available.
enum class DfuAction { None, Help, Version, DryRun, List, Read, VerifyOnly };

// --read reads at most the largest flash, 1 MB from address 0.
constexpr uint32_t kLargestFlashEnd = 0x100000;

struct DfuSettings {
  uint16_t vendor_id = 0x0000;
  uint16_t product_id = 0xC081;
  int8_t interface_number = -1;
  uint8_t wait = 0;
  uint8_t flash_size = 1;
  uint8_t mode = 0;
  std::vector<ProgramEntry> programs;
  // --device: only the interface whose path, serial number or USB location
  // equals it; empty: any.
  std::string device;
  // --timeout in milliseconds: with wait, the connect step gives up after
  // this long; 0: it never does.
  int32_t timeout_ms = 0;
  // --quiet: no notes or warnings on standard error.
  bool quiet = false;
  // --read ADDR LENGTH FILE: [read_addr, read_addr + read_length), inside
  // the largest flash, into read_file.
  uint32_t read_addr = 0;
  uint32_t read_length = 0;
  std::string read_file;
  DfuAction action = DfuAction::None;
};

// Loaded programs, in ascending order of effective start, never overlapping.
struct ProgramImageList {
  std::vector<ProgramImage> images;
  uint32_t areaEnd = 0;
  int32_t count() const { return static_cast<int32_t>(images.size()); }
};

extern DfuSettings theDfuSettings;
extern ProgramImageList theProgramImageList;

// How option names are matched: exactly on the command line, without regard
// to case at the shell's prompt. Insensitive is the prompt's reading, where
// actions are not available.
enum class OptionNameCase { Exact, Insensitive };

// True when the words describe a job whose programs all loaded and fit. A
// command line naming an action is no job: false, with the action in
// theDfuSettings.action and its programs recorded but not loaded; it is
// refused when why holds an error.
// why, when given, receives the reasons a command line is refused and any
// warnings about words that were read in a way the user may not expect.
bool ParseDfuOptions(const std::vector<std::string>& words,
                     OptionNameCase nameCase = OptionNameCase::Exact, Reasons* why = nullptr);
// Loads the recorded -p programs as a job does; false, with the reason,
// when there is none or one fails to load or fit.
bool LoadJobPrograms(Reasons* why = nullptr);
bool AddProgramEntry(uint32_t addr, std::string pg_path, Reasons* why = nullptr);
// 1: every program loaded and placed; -1: no program; -3: a program failed.
int32_t LoadPrograms(Reasons* why = nullptr);
void ClearProgramImageList();
