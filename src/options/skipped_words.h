// The words the option parser skips, and what it says about each.
// Internal to the option parser.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "common/reason.h"
#include "options/dfu_options.h"
#include "options/option_table.h"

// Words that are no options are skipped. Empty words (two blanks in a row
// at the prompt) and "dfu" are skipped as a matter of course; any other
// word may be a mistake. Plain words right after an unknown option are
// taken as its values: the warning about that option covers them.
//
// An unknown "--" word, and an action at the prompt, are skipped as such
// words always were, with a warning, while the line still runs a job; when
// nothing runs (the line is refused, or names an action) they are errors.
// Settle says which, once the parse knows.
class SkippedWords {
 public:
  SkippedWords(OptionNameCase nameCase, Reasons* why) : nameCase_(nameCase), why_(why) {}

  void OptionTaken() { afterUnknownOption_ = false; }
  void Skip(const std::string& word);
  // The last word can start only an option without values: "-w" or
  // "--device" there is skipped.
  void SkipIncompleteLast(const std::string& word, const OptionSpec& option);
  // An action at the prompt: skipped like an unknown option, with a reason
  // that says where it works.
  void SkipCommandLineAction(const std::string& word, const OptionSpec& action);

  // True when a word was skipped whose reason Settle decides.
  bool SomeDeferred() const { return deferred_ != 0; }
  // Turns the deferred warnings into errors when the line runs no job.
  void Settle(bool runsJob);

 private:
  bool MistypedShortOption(const std::string& word) const;
  void Defer(Reason warning, Reason error);
  void DeferUnknownLongWord(const std::string& word);
  void WarnUnknownOption(const std::string& word);
  Reason UnknownOptionWarning(const std::string& word) const;

  OptionNameCase nameCase_;
  Reasons* why_;
  bool afterUnknownOption_ = false;
  size_t deferred_ = 0;
  std::vector<std::pair<size_t, Reason>> errors_;  // where a deferred warning is, and its error
};
