// The dfu options: settings, program entries, and the loaded program list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/chip.h"
#include "common/reason.h"
#include "image/program_image.h"

struct ProgramEntry {
  uint32_t addr = 0;
  std::string pg_path;  // at most 511 bytes
  // A program handed over in memory (a library caller's buffer) rather than
  // named as a file: raw bytes, placed at addr; pg_path then only names it.
  bool inMemory = false;
  std::vector<uint8_t> data;
};

// What a command line asks for instead of a job. Actions are named only on
// the command line; at the prompt they are not available.
enum class DfuAction { None, Help, Version, DryRun, List, Read, VerifyOnly, Station };

// How a job shows its progress (--progress): the percentage lines on
// standard output, a view with step, bytes, speed and time left on standard
// error, or nothing.
enum class ProgressStyle { Percent, Rich, None };

struct DfuSettings {
  uint16_t vendor_id = 0x0000;
  uint16_t product_id = 0xC081;
  int8_t interface_number = -1;
  uint8_t wait = 0;
  uint8_t flash_size = 1;
  uint8_t mode = 0;
  std::vector<ProgramEntry> programs;
  // --device: only the interface whose path, serial number or USB location
  // equals it; empty: any. A job takes the last one given; a station serves
  // every one (devices).
  std::string device;
  std::vector<std::string> devices;
  // --timeout in milliseconds: with wait, the connect step gives up after
  // this long; 0: it never does.
  int32_t timeout_ms = 0;
  // --quiet: no notes or warnings on standard error.
  bool quiet = false;
  // --strict: every warning about the words is an error, and a command
  // line that does not parse ends the tool instead of opening the shell.
  bool strict = false;
  // --posix-exit: exit status 0 for success, 1 for failure, 2 for a refused
  // command line.
  bool posix_exit = false;
  ProgressStyle progress = ProgressStyle::Percent;
  // --read ADDR LENGTH FILE: [read_addr, read_addr + read_length), inside
  // the largest flash, into read_file.
  uint32_t read_addr = 0;
  uint32_t read_length = 0;
  std::string read_file;
  // --count N: a station ends after N boards passed; 0: it runs until stopped.
  uint32_t count = 0;
  // --log FILE: a station's record of every board, JSON Lines, appended.
  std::string log_file;
  DfuAction action = DfuAction::None;
};

// Loaded programs, in ascending order of effective start, never overlapping.
struct ProgramImageList {
  std::vector<ProgramImage> images;
  uint32_t areaEnd = 0;
  int32_t count() const { return static_cast<int32_t>(images.size()); }
};

// How option names are matched: exactly on the command line, without regard
// to case at the shell's prompt. Insensitive is the prompt's reading, where
// actions are not available.
enum class OptionNameCase { Exact, Insensitive };

// An option a dfu line at the prompt takes: its name and how many words
// after it are its values. For completion at the prompt.
struct PromptOption {
  const char* name;
  size_t valueWords;
};
// Every option of a dfu line at the prompt (actions are the command line's).
std::vector<PromptOption> PromptOptions();

// What the word being typed at the end of a dfu line is, read as the parser
// reads a line at the prompt: which value (index) of which option (nullptr
// when it is no option's value). inWord: the value is typed in the word
// itself, after "--name=".
struct PromptValueSlot {
  const char* option = nullptr;
  size_t index = 0;
  bool inWord = false;
};
// before: the words after "dfu" and before the one being typed.
PromptValueSlot PromptSlotOf(const std::vector<std::string>& before, const std::string& typed);

// Reads the words into settings (reset first) and loads the programs into
// programs. True when the words describe a job whose programs all loaded
// and fit. A command line naming an action is no job: false, with the action
// in settings.action and its programs recorded but not loaded; it is refused
// when why holds an error.
// why, when given, receives the reasons a command line is refused and any
// warnings about words that were read in a way the user may not expect.
bool ParseDfuOptions(const std::vector<std::string>& words, OptionNameCase nameCase, Reasons* why,
                     DfuSettings& settings, ProgramImageList& programs);
// Loads the recorded -p programs as a job does; false, with the reason,
// when there is none or one fails to load or fit.
bool LoadJobPrograms(const DfuSettings& settings, ProgramImageList& programs, Reasons* why = nullptr);
bool AddProgramEntry(DfuSettings& settings, uint32_t addr, std::string pg_path, Reasons* why = nullptr);
// 1: every program loaded and placed; -1: no program; -3: a program failed.
int32_t LoadPrograms(const DfuSettings& settings, ProgramImageList& programs, Reasons* why = nullptr);
void ClearProgramImageList(ProgramImageList& programs);
