// The options the parser knows: one row each, with what the option does
// with its values. Internal to the option parser.
#pragma once

#include <cstddef>
#include <string>

#include "common/reason.h"
#include "options/dfu_options.h"

// One option: its name, how many words after it are its values, how it is
// written (for the reasons about an incomplete one), and what it does with
// its values. An action's row names the action, and the shell command that
// does the same at the prompt, if any. Every option the parser knows is a
// row of the table in option_table.cpp.
struct OptionSpec {
  const char* name;
  size_t valueWords;
  const char* usage;
  const char* example;
  bool (*take)(DfuSettings& settings, const std::string* values, Reasons* why);
  DfuAction action = DfuAction::None;
  const char* shellCommand = nullptr;
  // An option that only modifies this action (a command-line one): not
  // offered at the prompt.
  DfuAction modifies = DfuAction::None;
};

// The row whose name is word, by the case rule; nullptr when none is.
const OptionSpec* FindOption(const std::string& word, OptionNameCase nameCase);
// The name of the row that names the action.
const char* ActionName(DfuAction action);
// The long option a mistyped name ("dryrun", "hlep", without its dashes)
// most likely meant, or nullptr. Actions are not offered at the prompt.
const OptionSpec* NearestLongOption(const std::string& bareName, OptionNameCase nameCase);

inline bool AtPrompt(OptionNameCase nameCase) { return nameCase == OptionNameCase::Insensitive; }
// "--name": a long option's form (two dashes and a name).
inline bool IsLongWord(const std::string& word) { return word.size() > 2 && word[0] == '-' && word[1] == '-'; }

// "A000,app.bin" as a value: a note that values are separated by spaces.
void NoteCommaInValue(const char* name, const std::string& word, Reasons* why);
