#include "options/skipped_words.h"

#include "common/ascii_case.h"

namespace {

const char* const kDidYouMeanEnglish = "'{0}' is no option and was ignored (did you mean '{1}'?)";
const char* const kDidYouMeanChinese = "“{0}”不是选项，已忽略（是否想用“{1}”？）";
const char* const kCaseSensitiveEnglish =
    "'{0}' is no option and was ignored: option names are case-sensitive on the command line (did you mean "
    "'{1}'?)";
const char* const kCaseSensitiveChinese = "“{0}”不是选项，已忽略：命令行上的选项名区分大小写（是否想用“{1}”？）";

}  // namespace

void SkippedWords::Skip(const std::string& word) {
  if (word.empty() || EqualsIgnoringAsciiCase(word, "dfu")) return;
  if (word[0] != '-') {
    if (afterUnknownOption_) return;
    AddWarning(why_, "'{0}' was ignored: it is no option and no option's value",
               "“{0}”已忽略：它既不是选项，也不是选项的参数值", {word});
    return;
  }
  afterUnknownOption_ = true;
  if (IsLongWord(word) && !MistypedShortOption(word)) {
    DeferUnknownLongWord(word);
  } else {
    WarnUnknownOption(word);
  }
}

void SkippedWords::SkipIncompleteLast(const std::string& word, const OptionSpec& option) {
  AddWarning(why_, "'{0}' at the end is incomplete and was ignored: write {1} (for example {2})",
             "末尾的“{0}”不完整，已忽略：应写作 {1}（例如 {2}）", {word, option.usage, option.example});
}

void SkippedWords::SkipCommandLineAction(const std::string& word, const OptionSpec& action) {
  afterUnknownOption_ = true;
  if (action.shellCommand != nullptr) {
    Defer({Severity::Warning, "'{0}' was ignored: it works on the command line only (here, type {1})",
           "“{0}”已忽略：它只能用在命令行上（此处请输入 {1}）", {word, action.shellCommand}},
          {Severity::Error, "'{0}' is not available at the prompt: it works on the command line only (here, type {1})",
           "“{0}”在提示符下不可用：它只能用在命令行上（此处请输入 {1}）", {word, action.shellCommand}});
    return;
  }
  Defer({Severity::Warning, "'{0}' was ignored: it works on the command line only", "“{0}”已忽略：它只能用在命令行上",
         {word}},
        {Severity::Error, "'{0}' is not available at the prompt: it works on the command line only",
         "“{0}”在提示符下不可用：它只能用在命令行上", {word}});
}

void SkippedWords::Settle(bool runsJob) {
  if (runsJob || why_ == nullptr) return;
  for (const auto& [index, error] : errors_) (*why_)[index] = error;
}

// "--p": a short option with one dash too many.
bool SkippedWords::MistypedShortOption(const std::string& word) const {
  const OptionSpec* meant = FindOption(word.substr(1), nameCase_);
  return meant != nullptr && !IsLongWord(meant->name);
}

void SkippedWords::Defer(Reason warning, Reason error) {
  ++deferred_;
  if (why_ == nullptr) return;
  why_->push_back(std::move(warning));
  errors_.emplace_back(why_->size() - 1, std::move(error));
}

void SkippedWords::DeferUnknownLongWord(const std::string& word) {
  const std::string bareName = word.substr(2, word.find('=') - 2);
  const OptionSpec* meant = NearestLongOption(bareName, nameCase_);
  if (meant == nullptr) {
    Defer(UnknownOptionWarning(word), {Severity::Error, "unknown option '{0}'", "未知选项“{0}”", {word}});
  } else if (!AtPrompt(nameCase_) && EqualsIgnoringAsciiCase(bareName, meant->name + 2)) {
    Defer({Severity::Warning, kCaseSensitiveEnglish, kCaseSensitiveChinese, {word, meant->name}},
          {Severity::Error,
           "unknown option '{0}': option names are case-sensitive on the command line (did you mean '{1}'?)",
           "未知选项“{0}”：命令行上的选项名区分大小写（是否想用“{1}”？）", {word, meant->name}});
  } else {
    Defer({Severity::Warning, kDidYouMeanEnglish, kDidYouMeanChinese, {word, meant->name}},
          {Severity::Error, "unknown option '{0}' (did you mean '{1}'?)", "未知选项“{0}”（是否想用“{1}”？）",
           {word, meant->name}});
  }
}

void SkippedWords::WarnUnknownOption(const std::string& word) {
  const bool doubleDash = word.size() > 2 && word[1] == '-';
  if (!doubleDash && nameCase_ == OptionNameCase::Exact) {
    if (const OptionSpec* meant = FindOption(word, OptionNameCase::Insensitive)) {
      AddWarning(why_, kCaseSensitiveEnglish, kCaseSensitiveChinese, {word, meant->name});
      return;
    }
  }
  // "--p": one dash too many; "-help": one dash too few.
  const OptionSpec* meant = doubleDash        ? FindOption(word.substr(1), nameCase_)
                            : word.size() > 2 ? NearestLongOption(word.substr(1), nameCase_)
                                              : nullptr;
  if (meant != nullptr) {
    AddWarning(why_, kDidYouMeanEnglish, kDidYouMeanChinese, {word, meant->name});
  } else if (why_ != nullptr) {
    why_->push_back(UnknownOptionWarning(word));
  }
}

Reason SkippedWords::UnknownOptionWarning(const std::string& word) const {
  if (nameCase_ == OptionNameCase::Exact) {
    return {Severity::Warning,
            "'{0}' is no option and was ignored; the options are -w, -s, -m and -p (case-sensitive on the command "
            "line)",
            "“{0}”不是选项，已忽略；选项为 -w、-s、-m 和 -p（命令行上区分大小写）",
            {word}};
  }
  return {Severity::Warning, "'{0}' is no option and was ignored; the options are -w, -s, -m and -p",
          "“{0}”不是选项，已忽略；选项为 -w、-s、-m 和 -p", {word}};
}
