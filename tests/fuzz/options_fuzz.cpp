// The dfu options with their programs. The input's first line is the
// command line, split into words as the shell splits a line; after it, each line
// "@NAME" starts a file of that name in the scratch folder (the working
// folder), holding everything up to the next "\n@" line. A command line
// that parses leaves a job the DFU step can rely on: settings in range,
// one image per -p, sorted by start, none empty, none outside the program
// area, none overlapping, each exactly what its file loads to alone. A
// refused one has an error reason unless it names an action (--help,
// --version, --dry-run), an accepted one none; a dry run's programs load
// under the same rules. With --strict no warning is left. Every reason has
// all its arguments.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "app/app.h"
#include "app/tool_state.h"
#include "fuzz_support.h"
#include "options/dfu_options.h"

namespace {

using fuzz::Check;

// Only plain names, so that no input writes outside the scratch folder.
bool IsPlainName(std::string_view name) {
  // Longer names than a file system takes (255 bytes) cannot be written.
  if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
  for (char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '_' || c == '-';
    if (!plain) return false;
  }
  return true;
}

// Writes the input's files; returns their names.
std::vector<std::string> WriteFiles(std::string_view rest) {
  std::vector<std::string> names;
  while (!rest.empty() && rest[0] == '@') {
    const size_t feed = rest.find('\n');
    const std::string_view name = rest.substr(1, feed == std::string_view::npos ? feed : feed - 1);
    rest = feed == std::string_view::npos ? std::string_view() : rest.substr(feed + 1);
    const size_t next = rest.find("\n@");
    const std::string_view content = rest.substr(0, next);
    rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
    if (!IsPlainName(name)) continue;
    fuzz::WriteScratchFile(std::string(name), content);
    names.emplace_back(name);
  }
  return names;
}

uint64_t End(const ProgramImage& image) { return uint64_t{image.EffectiveStart()} + image.length; }

void CheckJob() {
  const DfuSettings& settings = theDfuSettings;
  const std::vector<ProgramImage>& images = theProgramImageList.images;
  Check(settings.flash_size <= 2 && settings.mode <= 1, "the settings are in range");
  const uint32_t areaEnd = settings.flash_size == 0 ? 0x3F000u : settings.flash_size == 1 ? 0x7F000u : 0xFF000u;
  Check(theProgramImageList.areaEnd == areaEnd, "the area end follows the flash size");
  Check(!images.empty() && images.size() == settings.programs.size(), "one image per program");
  for (size_t i = 0; i < images.size(); ++i) {
    Check(images[i].length > 0 && images[i].bytes != nullptr, "no image is empty");
    Check(End(images[i]) <= areaEnd, "every image lies in the program area");
    if (i > 0) Check(End(images[i - 1]) <= images[i].EffectiveStart(), "images are sorted and never overlap");
  }
  for (const ProgramEntry& entry : settings.programs) {
    ProgramImage alone;
    Check(alone.Load(entry.addr, entry.pg_path), "a listed program loads alone");
    bool found = false;
    for (const ProgramImage& image : images) {
      if (image.EffectiveStart() != alone.EffectiveStart()) continue;
      found = image.length == alone.length && image.path == entry.pg_path &&
              std::memcmp(image.bytes.get(), alone.bytes.get(), image.length) == 0;
    }
    Check(found, "each image is what its file loads to alone");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool inScratch = chdir(fuzz::ScratchDir().string().c_str()) == 0;
  Check(inScratch, "the scratch folder is the working folder");
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t feed = input.find('\n');
  const std::vector<std::string> words = SplitWords(std::string(input.substr(0, feed)));
  const std::vector<std::string> files =
      WriteFiles(feed == std::string_view::npos ? std::string_view() : input.substr(feed + 1));

  Reasons why;
  const bool parsed = ParseDfuOptions(words, OptionNameCase::Exact, &why);
  fuzz::CheckReasonsFilled(why);
  const bool action = theDfuSettings.action != DfuAction::None;
  Check(!(parsed && HasError(why)), "a command line that parses has no error reason");
  Check(parsed || action || HasError(why), "a refused command line has an error reason");
  const bool warned = std::any_of(why.begin(), why.end(), [](const Reason& r) { return r.severity == Severity::Warning; });
  Check(!(theDfuSettings.strict && warned), "--strict leaves no warning");
  if (parsed) CheckJob();
  // A dry run loads the programs as a job would.
  if (theDfuSettings.action == DfuAction::DryRun && !HasError(why)) {
    Reasons loadWhy;
    const bool loaded = LoadJobPrograms(&loadWhy);
    fuzz::CheckReasonsFilled(loadWhy);
    Check(loaded != HasError(loadWhy), "programs load exactly when no error reason says why not");
    if (loaded) CheckJob();
  }
  ClearProgramImageList();
  for (const std::string& name : files) std::filesystem::remove(fuzz::ScratchDir() / name);
  return 0;
}
