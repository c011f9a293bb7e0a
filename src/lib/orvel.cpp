// The C API over the engine: a session owns its link, device search,
// settings, programs and stop flag, so sessions run side by side; the
// engine's events become progress callbacks and its reasons records.
#include "orvel/orvel.h"

#include <atomic>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common/chip.h"
#include "common/crc32.h"
#include "common/reason.h"
#include "common/version.h"
#include "dfu/connect.h"
#include "dfu/dfu_job.h"
#include "options/dfu_options.h"
#include "platform/ticks.h"

namespace {

// Tells the caller's callback where the job has got to, and remembers
// whether a device answered (a failed job is then the device's failure).
class LibraryObserver : public JobObserver {
 public:
  LibraryObserver(orvel_progress_fn progress, void* user) : progress_(progress), user_(user) {}

  void StepStarted(const JobProgress& start) override { Tell(start.step, 0, start.stepTotal); }
  void Connected(bool /*waited*/, const DeviceEntry& /*device*/) override { connected_ = true; }
  void Progress(const JobProgress& progress) override {
    Tell(progress.step, progress.stepDone, progress.stepTotal);
  }
  bool connected() const { return connected_; }

 private:
  void Tell(JobStep step, uint64_t done, uint64_t total) {
    if (progress_ != nullptr) progress_(user_, static_cast<int>(step), done, total);
  }

  orvel_progress_fn progress_;
  void* user_;
  bool connected_ = false;
};

}  // namespace

struct orvel_session {
  DfuSettings settings;
  int language = ORVEL_ENGLISH;
  orvel_progress_fn progress = nullptr;
  void* progressData = nullptr;
  std::atomic<bool> stop{false};
  HidLink link;
  DeviceSearch search;
  ProgramImageList programs;
  Reasons reasons;
  mutable std::string text;  // the last reason text handed out
  std::vector<ListedDevice> devices;
};

namespace {

// Hints that name the tool's command-line options mean nothing to a caller
// of the library.
void Keep(orvel_session& session, const Reasons& reasons) {
  for (const Reason& reason : reasons) {
    if (!reason.commandLineHint) session.reasons.push_back(reason);
  }
}

// An argument refused: its reason replaces what the session said before.
int RefuseArgument(orvel_session& session, const char* english, const char* chinese,
                   std::vector<std::string> args = {}) {
  session.reasons.clear();
  AddError(&session.reasons, english, chinese, std::move(args));
  return ORVEL_ERROR_ARGUMENT;
}

// Loads and checks the programs as a job does.
int LoadAll(orvel_session& session) {
  Reasons why;
  const bool loaded = LoadJobPrograms(session.settings, session.programs, &why);
  Keep(session, why);
  return loaded ? ORVEL_OK : ORVEL_ERROR_REFUSED;
}

// Runs one of the engine's jobs on the session's own objects and says how it
// ended; the device is let go whatever happened.
template <typename Job>
int RunJob(orvel_session& session, Job job) {
  LibraryObserver observer(session.progress, session.progressData);
  DfuJob engine(JobContext{session.link, session.search, ProcessTicks(), observer, &session.stop});
  Reasons why;
  const bool ok = job(engine, why);
  session.link.Close();
  Keep(session, why);
  const bool stopped = session.stop.exchange(false);
  if (ok) return ORVEL_OK;
  if (stopped) return ORVEL_ERROR_STOPPED;
  return observer.connected() ? ORVEL_ERROR_FAILED : ORVEL_ERROR_NO_DEVICE;
}

// The C API lets no exception out: running out of memory is a status.
template <typename Call>
int Guarded(orvel_session* session, Call call) {
  if (session == nullptr) return ORVEL_ERROR_ARGUMENT;
  try {
    return call(*session);
  } catch (const std::bad_alloc&) {
    session->reasons.clear();
    return ORVEL_ERROR_MEMORY;
  }
}

// A call that does the session's work (check, flash, verify, read, list):
// its reasons are its own. A setter keeps those of the last such call, so
// that they can be read again in another language.
template <typename Call>
int Working(orvel_session* session, Call call) {
  if (session != nullptr) session->reasons.clear();
  return Guarded(session, call);
}

// A job over the session's programs, once they load: DfuJob::Run or
// DfuJob::VerifyOnly.
using ProgramsJob = bool (DfuJob::*)(const DfuSettings&, const ProgramImageList&, Reasons*);

int RunOnPrograms(orvel_session* session, ProgramsJob member) {
  return Working(session, [member](orvel_session& s) {
    const int loaded = LoadAll(s);
    if (loaded != ORVEL_OK) return loaded;
    return RunJob(s, [&s, member](DfuJob& job, Reasons& why) { return (job.*member)(s.settings, s.programs, &why); });
  });
}

}  // namespace

extern "C" {

const char* orvel_status_name(int status) {
  switch (status) {
    case ORVEL_OK:
      return "ok";
    case ORVEL_ERROR_ARGUMENT:
      return "argument";
    case ORVEL_ERROR_REFUSED:
      return "refused";
    case ORVEL_ERROR_NO_DEVICE:
      return "no-device";
    case ORVEL_ERROR_FAILED:
      return "failed";
    case ORVEL_ERROR_STOPPED:
      return "stopped";
    case ORVEL_ERROR_MEMORY:
      return "memory";
    default:
      return "unknown";
  }
}

const char* orvel_version(void) {
  static const std::string line = VersionLine();
  return line.c_str();
}

const char* orvel_step_name(int step) {
  static const char* const kNames[] = {"connect", "erase", "download", "verify", "read", "restart"};
  return step >= 0 && step < 6 ? kNames[step] : "unknown";
}

orvel_session* orvel_session_new(void) { return new (std::nothrow) orvel_session; }

void orvel_session_free(orvel_session* session) { delete session; }

int orvel_set_language(orvel_session* session, int language) {
  return Guarded(session, [language](orvel_session& s) {
    if (language != ORVEL_ENGLISH && language != ORVEL_CHINESE) {
      return RefuseArgument(s, "language {0} is neither English (0) nor Chinese (1)",
                            "语言 {0} 既不是英文（0）也不是中文（1）", {std::to_string(language)});
    }
    s.language = language;
    return static_cast<int>(ORVEL_OK);
  });
}

int orvel_set_device(orvel_session* session, const char* selector) {
  return Guarded(session, [selector](orvel_session& s) {
    s.settings.device = selector != nullptr ? selector : "";
    return static_cast<int>(ORVEL_OK);
  });
}

int orvel_set_flash_size(orvel_session* session, int flash_size) {
  return Guarded(session, [flash_size](orvel_session& s) {
    if (flash_size < 0 || flash_size > kLargestFlashSize) {
      return RefuseArgument(s, "flash size {0} is none of 0 (256 KB), 1 (512 KB) and 2 (1 MB)",
                            "Flash 大小 {0} 不是 0（256 KB）、1（512 KB）或 2（1 MB）", {std::to_string(flash_size)});
    }
    s.settings.flash_size = static_cast<uint8_t>(flash_size);
    return static_cast<int>(ORVEL_OK);
  });
}

int orvel_set_verify(orvel_session* session, int verify) {
  return Guarded(session, [verify](orvel_session& s) {
    s.settings.mode = verify != 0 ? 0 : 1;
    return static_cast<int>(ORVEL_OK);
  });
}

int orvel_set_wait(orvel_session* session, int wait, uint32_t timeout_ms) {
  return Guarded(session, [wait, timeout_ms](orvel_session& s) {
    if (timeout_ms > 0x7FFFFFFFu) {
      return RefuseArgument(s, "a wait of {0} ms is longer than the longest, 2147483647 ms",
                            "等待 {0} 毫秒超过最长的 2147483647 毫秒", {std::to_string(timeout_ms)});
    }
    s.settings.wait = wait != 0 ? 1 : 0;
    s.settings.timeout_ms = static_cast<int32_t>(timeout_ms);
    return static_cast<int>(ORVEL_OK);
  });
}

int orvel_set_progress(orvel_session* session, orvel_progress_fn fn, void* user_data) {
  return Guarded(session, [fn, user_data](orvel_session& s) {
    s.progress = fn;
    s.progressData = user_data;
    return static_cast<int>(ORVEL_OK);
  });
}

int orvel_add_program_file(orvel_session* session, const char* path, uint32_t address) {
  return Guarded(session, [path, address](orvel_session& s) {
    if (path == nullptr || path[0] == '\0') {
      return RefuseArgument(s, "the program path is empty", "程序路径为空");
    }
    s.settings.programs.push_back(ProgramEntry{address, path, false, {}});
    return static_cast<int>(ORVEL_OK);
  });
}

int orvel_add_program_bytes(orvel_session* session, const char* name, const uint8_t* data, size_t size,
                            uint32_t address) {
  return Guarded(session, [name, data, size, address](orvel_session& s) {
    if (data == nullptr && size > 0) {
      return RefuseArgument(s, "no bytes given for {0} bytes", "给出了 {0} 字节的长度，却没有数据",
                            {std::to_string(size)});
    }
    ProgramEntry entry{address, name != nullptr && name[0] != '\0' ? name : "(bytes)", true, {}};
    entry.data.assign(data, data + size);
    s.settings.programs.push_back(std::move(entry));
    return static_cast<int>(ORVEL_OK);
  });
}

int orvel_clear_programs(orvel_session* session) {
  return Guarded(session, [](orvel_session& s) {
    s.settings.programs.clear();
    ClearProgramImageList(s.programs);
    return static_cast<int>(ORVEL_OK);
  });
}

int orvel_check(orvel_session* session) { return Working(session, LoadAll); }

int orvel_flash(orvel_session* session) { return RunOnPrograms(session, &DfuJob::Run); }

int orvel_verify(orvel_session* session) { return RunOnPrograms(session, &DfuJob::VerifyOnly); }

int orvel_read(orvel_session* session, uint32_t address, uint8_t* buffer, uint32_t length) {
  return Working(session, [address, buffer, length](orvel_session& s) {
    if (buffer == nullptr || length == 0) {
      return RefuseArgument(s, "nothing to read into: give a buffer and a length of 1 or more",
                            "没有读取目标：需要缓冲区和至少为 1 的长度");
    }
    if (uint64_t{address} + length > kLargestFlashEnd) {
      return RefuseArgument(s, "{0} bytes from {1} go past {2}, the end of the largest flash (1 MB)",
                            "从 {1} 起的 {0} 字节超出最大 Flash（1 MB）的末尾 {2}",
                            {std::to_string(length), AddressText(address), AddressText(kLargestFlashEnd)});
    }
    std::vector<uint8_t> bytes;
    const int status = RunJob(
        s, [&s, address, length, &bytes](DfuJob& job, Reasons& why) {
          return job.Read(s.settings, address, length, bytes, &why);
        });
    if (status == ORVEL_OK) std::copy(bytes.begin(), bytes.end(), buffer);
    return status;
  });
}

void orvel_cancel(orvel_session* session) {
  if (session != nullptr) session->stop = true;
}

int orvel_list(orvel_session* session) {
  return Working(session, [](orvel_session& s) {
    s.devices = ListBootloaders(s.link, s.search, ProcessTicks(), s.settings);
    for (const ListedDevice& device : s.devices) {
      // The list is whole; a node that cannot be opened is listed, with why.
      Reasons why = device.why;
      for (Reason& reason : why) {
        if (reason.severity == Severity::Error) reason.severity = Severity::Warning;
      }
      Keep(s, why);
    }
    return static_cast<int>(ORVEL_OK);
  });
}

size_t orvel_device_count(const orvel_session* session) {
  return session != nullptr ? session->devices.size() : 0;
}

const char* orvel_device_field(const orvel_session* session, size_t index, int field) {
  if (session == nullptr || index >= session->devices.size()) return nullptr;
  const ListedDevice& device = session->devices[index];
  switch (field) {
    case ORVEL_FIELD_PATH:
      return device.entry.path ? device.entry.path->c_str() : "";
    case ORVEL_FIELD_SERIAL:
      return device.entry.serial.c_str();
    case ORVEL_FIELD_LOCATION:
      return device.entry.location.c_str();
    case ORVEL_FIELD_STATE:
      return StateWord(device.state);
    case ORVEL_FIELD_DESCRIPTION:
      return device.entry.description.c_str();
    default:
      return nullptr;
  }
}

size_t orvel_program_count(const orvel_session* session) {
  return session != nullptr ? session->programs.images.size() : 0;
}

const char* orvel_program_name(const orvel_session* session, size_t index) {
  if (session == nullptr || index >= session->programs.images.size()) return nullptr;
  return session->programs.images[index].path.c_str();
}

int orvel_program_layout(const orvel_session* session, size_t index, uint32_t* start, uint32_t* length,
                         uint32_t* crc32) {
  if (session == nullptr || index >= session->programs.images.size()) return ORVEL_ERROR_ARGUMENT;
  const ProgramImage& image = session->programs.images[index];
  if (start != nullptr) *start = image.EffectiveStart();
  if (length != nullptr) *length = image.length;
  if (crc32 != nullptr) *crc32 = Crc32(image.bytes.get(), image.length);
  return ORVEL_OK;
}

size_t orvel_reason_count(const orvel_session* session) {
  return session != nullptr ? session->reasons.size() : 0;
}

int orvel_reason_severity(const orvel_session* session, size_t index) {
  if (session == nullptr || index >= session->reasons.size()) return -1;
  switch (session->reasons[index].severity) {
    case Severity::Error:
      return ORVEL_SEVERITY_ERROR;
    case Severity::Warning:
      return ORVEL_SEVERITY_WARNING;
    case Severity::Note:
      return ORVEL_SEVERITY_NOTE;
  }
  return -1;
}

const char* orvel_reason_text(const orvel_session* session, size_t index) {
  if (session == nullptr || index >= session->reasons.size()) return nullptr;
  const Reason& reason = session->reasons[index];
  try {
    session->text = FillReasonTemplate(session->language == ORVEL_CHINESE ? reason.chinese : reason.english,
                                       reason.args);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return session->text.c_str();
}

}  // extern "C"
