// What the page asks of the tool's core: check the programs and settings,
// run the DFU job, and say why. The page hands over the option words a
// command line would carry (-s, -m, -p addr file), so the option rules, the
// loaders and the job are exactly those of orvel-dfu; the program files lie
// in the module's file system under the names the page lists them by.
// After a check or a job, the loaded programs can be read back (place,
// length, CRC-32) for the page's log.
#include <emscripten.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/app.h"
#include "common/crc32.h"
#include "common/reason.h"
#include "console/console.h"
#include "console/output.h"
#include "device/hid_link.h"
#include "dfu/dfu_job.h"
#include "options/dfu_options.h"

namespace {

std::vector<std::string> optionWords;
Reasons lastReasons;
std::string reasonText;
// What orvel-dfu would have printed: the progress line as it climbed.
std::ostringstream consoleText;
std::string consoleCopy;
std::string versionText;

EM_JS(void, PageShowProgress, (int percent), { Module.onProgress(percent); });

void ForwardProgress(int32_t percent, bool /*final*/) { PageShowProgress(percent); }

const ProgramImage* ImageAt(int index) {
  if (index < 0 || index >= theProgramImageList.count()) return nullptr;
  return &theProgramImageList.images[static_cast<size_t>(index)];
}

bool ParseOptions() {
  lastReasons.clear();
  return ParseDfuOptions(optionWords, OptionNameCase::Exact, &lastReasons);
}

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE void orvel_clear_words() { optionWords.clear(); }

EMSCRIPTEN_KEEPALIVE void orvel_add_word(const char* word) { optionWords.emplace_back(word); }

// Nonzero: English; 0: Chinese.
EMSCRIPTEN_KEEPALIVE void orvel_set_language(int english) { UiLanguage = english != 0 ? 1 : 0; }

// 1 when the words parse and every program loads and fits; nothing is sent.
EMSCRIPTEN_KEEPALIVE int orvel_check() { return ParseOptions() ? 1 : 0; }

// The whole job, as the command line runs it with one overall progress line:
// 1 success, 0 the job failed, -1 refused before connecting.
EMSCRIPTEN_KEEPALIVE int orvel_flash() {
  consoleText.str("");
  SetConsoleOut(&consoleText);
  SetOverallProgressObserver(ForwardProgress);
  LogMode = false;
  int result = -1;
  if (ParseOptions()) {
    result = RunDfuJob(&lastReasons) ? 1 : 0;
    theHidLink.Close();
  }
  SetOverallProgressObserver(nullptr);
  return result;
}

EMSCRIPTEN_KEEPALIVE int orvel_reason_count() { return static_cast<int>(lastReasons.size()); }

// 0 error, 1 warning, 2 note; -1 for no such reason.
EMSCRIPTEN_KEEPALIVE int orvel_reason_severity(int index) {
  if (index < 0 || index >= orvel_reason_count()) return -1;
  return static_cast<int>(lastReasons[static_cast<size_t>(index)].severity);
}

// The reason's text with its arguments in place, in UTF-8; "" for no such reason.
EMSCRIPTEN_KEEPALIVE const char* orvel_reason_text(int index, int english) {
  reasonText.clear();
  if (index >= 0 && index < orvel_reason_count()) {
    const Reason& reason = lastReasons[static_cast<size_t>(index)];
    reasonText = FillReasonTemplate(english != 0 ? reason.english : reason.chinese, reason.args);
  }
  return reasonText.c_str();
}

// The programs of the last check or job, in flash order.
EMSCRIPTEN_KEEPALIVE int orvel_program_count() { return theProgramImageList.count(); }

// The name the program was given (its file in the module's file system).
EMSCRIPTEN_KEEPALIVE const char* orvel_program_path(int index) {
  const ProgramImage* image = ImageAt(index);
  return image != nullptr ? image->path.c_str() : "";
}

// Where the program goes in flash, 0xFF filler in front included.
EMSCRIPTEN_KEEPALIVE uint32_t orvel_program_start(int index) {
  const ProgramImage* image = ImageAt(index);
  return image != nullptr ? image->EffectiveStart() : 0;
}

EMSCRIPTEN_KEEPALIVE uint32_t orvel_program_length(int index) {
  const ProgramImage* image = ImageAt(index);
  return image != nullptr ? image->length : 0;
}

// Over the bytes the flash receives, as --dry-run prints it.
EMSCRIPTEN_KEEPALIVE uint32_t orvel_program_crc32(int index) {
  const ProgramImage* image = ImageAt(index);
  return image != nullptr ? Crc32(image->bytes.get(), image->length) : 0;
}

// The version line, as `v` at the prompt writes it.
EMSCRIPTEN_KEEPALIVE const char* orvel_version() {
  versionText = VersionString();
  return versionText.c_str();
}

EMSCRIPTEN_KEEPALIVE const char* orvel_console_text() {
  consoleCopy = consoleText.str();
  return consoleCopy.c_str();
}

}  // extern "C"
