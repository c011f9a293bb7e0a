// The C API against virtual bootloaders on the in-process bus: statuses,
// reasons in both languages, refusals that touch no device, the list's
// fields, and a stop from another thread.
#include "orvel/orvel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "job_fixture.h"

namespace {

using job_test::DevicePath;
using job_test::Pattern;

std::vector<std::string> Reasons(const orvel_session* session) {
  std::vector<std::string> texts;
  for (size_t i = 0; i < orvel_reason_count(session); ++i) {
    texts.push_back(std::to_string(orvel_reason_severity(session, i)) + " " + orvel_reason_text(session, i));
  }
  return texts;
}

class ApiTest : public testing::Test {
 protected:
  void SetUp() override {
    Bus().Reset();
    SetTickSource(&clock);
    session = orvel_session_new();
    ASSERT_NE(session, nullptr);
  }
  void TearDown() override {
    orvel_session_free(session);
    SetTickSource(nullptr);
    Bus().Reset();
  }
  static sim::VirtualHidBus& Bus() { return sim::VirtualHidBus::Instance(); }
  int AddDevice(int number, const wchar_t* serial) {
    sim::VirtualDeviceSetup setup = job_test::LoaderAt(number);
    setup.serial = serial;
    return Bus().AddDevice(setup);
  }

  sim::VirtualClock clock;
  orvel_session* session = nullptr;
};

TEST_F(ApiTest, FlashSaysHowItEndedAndWhy) {
  struct Case {
    const char* name;
    bool attached;
    std::optional<sim::Fault> fault;
    int language;
    const char* file;  // nullptr: the bytes
    int status;
    std::vector<std::string> reasons;  // "SEVERITY TEXT"
  };
  const std::vector<Case> cases = {
      {"flashed", true, std::nullopt, ORVEL_ENGLISH, nullptr, ORVEL_OK, {}},
      {"no device, no hints for the command line", false, std::nullopt, ORVEL_ENGLISH, nullptr,
       ORVEL_ERROR_NO_DEVICE,
       {"0 no bootloader found: no USB HID interface with product ID 0xC081 is attached"}},
      {"in Chinese", false, std::nullopt, ORVEL_CHINESE, nullptr, ORVEL_ERROR_NO_DEVICE,
       {"0 未找到 bootloader：没有连接产品 ID 为 0xC081 的 USB HID 接口"}},
      {"refused before any device", true, std::nullopt, ORVEL_ENGLISH, "missing.bin", ORVEL_ERROR_REFUSED,
       {"0 cannot open 'missing.bin': No such file or directory"}},
      {"the device fails", true, sim::Fault{sim::RequestKind::Read, 2, sim::FaultEffect::Flip, 0}, ORVEL_ENGLISH,
       nullptr, ORVEL_ERROR_FAILED,
       {"0 verify of app.bin (0x00008000..0x00008100) failed: first difference at 0x0000803E: written 0x11, "
        "read 0x10; 1 of the 62 bytes read there differ"}},
  };
  const std::vector<uint8_t> program(0x100, 0x11);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bus().Reset();
    const int index = c.attached ? AddDevice(0, L"SN-0") : -1;
    if (c.fault) Bus().device(index).AddFault(*c.fault);
    orvel_clear_programs(session);
    ASSERT_EQ(orvel_set_language(session, c.language), ORVEL_OK);
    if (c.file != nullptr) {
      ASSERT_EQ(orvel_add_program_file(session, c.file, 0x8000), ORVEL_OK);
    } else {
      ASSERT_EQ(orvel_add_program_bytes(session, "app.bin", program.data(), program.size(), 0x8000), ORVEL_OK);
    }

    EXPECT_EQ(orvel_flash(session), c.status);

    EXPECT_EQ(Reasons(session), c.reasons);
    if (index < 0) continue;
    const bool written = static_cast<bool>(job_test::FlashHolds(index, 0x8000, program));
    EXPECT_EQ(written, c.status == ORVEL_OK || c.status == ORVEL_ERROR_FAILED);
    if (c.status == ORVEL_ERROR_REFUSED) {
      EXPECT_TRUE(Bus().device(index).trace().empty());
    }
  }
}

TEST_F(ApiTest, ArgumentsOutOfRangeAreRefusedWithAReason) {
  uint8_t buffer[16];
  EXPECT_EQ(orvel_set_flash_size(session, 3), ORVEL_ERROR_ARGUMENT);
  EXPECT_EQ(Reasons(session), std::vector<std::string>{"0 flash size 3 is none of 0 (256 KB), 1 (512 KB) and 2 (1 MB)"});
  EXPECT_EQ(orvel_set_language(session, 2), ORVEL_ERROR_ARGUMENT);
  EXPECT_EQ(orvel_read(session, 0xFFFF8, buffer, 16), ORVEL_ERROR_ARGUMENT);
  EXPECT_EQ(orvel_read(session, 0, nullptr, 16), ORVEL_ERROR_ARGUMENT);
  EXPECT_EQ(orvel_add_program_file(session, "", 0), ORVEL_ERROR_ARGUMENT);
  EXPECT_EQ(orvel_flash(nullptr), ORVEL_ERROR_ARGUMENT);
  EXPECT_EQ(orvel_check(session), ORVEL_ERROR_REFUSED);  // no program
  EXPECT_STREQ(orvel_status_name(ORVEL_ERROR_NO_DEVICE), "no-device");
  EXPECT_STREQ(orvel_step_name(ORVEL_STEP_VERIFY), "verify");
  EXPECT_EQ(orvel_reason_text(session, 99), nullptr);
}

TEST_F(ApiTest, ListGivesEveryFieldAndReadGivesTheFlash) {
  const int first = AddDevice(0, L"SN-0");
  AddDevice(1, L"");
  std::fill_n(Bus().device(first).flash().begin() + 0x1000, 4, 0x5A);

  ASSERT_EQ(orvel_list(session), ORVEL_OK);
  ASSERT_EQ(orvel_device_count(session), 2u);
  EXPECT_EQ(std::string(orvel_device_field(session, 0, ORVEL_FIELD_PATH)), DevicePath(0));
  EXPECT_STREQ(orvel_device_field(session, 0, ORVEL_FIELD_SERIAL), "SN-0");
  EXPECT_STREQ(orvel_device_field(session, 1, ORVEL_FIELD_SERIAL), "");
  EXPECT_STREQ(orvel_device_field(session, 0, ORVEL_FIELD_STATE), "free");
  EXPECT_STREQ(orvel_device_field(session, 0, ORVEL_FIELD_DESCRIPTION), job_test::kDefaultDescription);
  EXPECT_EQ(orvel_device_field(session, 2, ORVEL_FIELD_PATH), nullptr);

  uint8_t bytes[6] = {};
  orvel_set_device(session, "SN-0");
  ASSERT_EQ(orvel_read(session, 0xFFF, bytes, 6), ORVEL_OK);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 6), (std::vector<uint8_t>{0xFF, 0x5A, 0x5A, 0x5A, 0x5A, 0xFF}));
}

// The job's progress callback holds the job until the other thread has
// called orvel_cancel: the job then stops before its next packet.
struct StopInTheMiddle {
  std::mutex lock;
  std::condition_variable changed;
  bool downloading = false;
  bool cancelled = false;
  std::vector<int> steps;
};

void HoldAtTheDownload(void* user, int step, uint64_t done, uint64_t /*total*/) {
  auto& stop = *static_cast<StopInTheMiddle*>(user);
  std::unique_lock<std::mutex> hold(stop.lock);
  stop.steps.push_back(step);
  if (step != ORVEL_STEP_DOWNLOAD || done == 0) return;
  stop.downloading = true;
  stop.changed.notify_all();
  stop.changed.wait(hold, [&stop] { return stop.cancelled; });
}

TEST_F(ApiTest, CancelFromAnotherThreadStopsTheJobWithoutARestart) {
  const int index = AddDevice(0, L"SN-0");
  const std::vector<uint8_t> program = Pattern(0x1000, 9);
  StopInTheMiddle stop;
  orvel_set_progress(session, HoldAtTheDownload, &stop);
  orvel_add_program_bytes(session, "app.bin", program.data(), program.size(), 0);

  int status = ORVEL_OK;
  std::thread job([this, &status] { status = orvel_flash(session); });
  {
    std::unique_lock<std::mutex> hold(stop.lock);
    stop.changed.wait(hold, [&stop] { return stop.downloading; });
    orvel_cancel(session);
    stop.cancelled = true;
    stop.changed.notify_all();
  }
  job.join();

  EXPECT_EQ(status, ORVEL_ERROR_STOPPED);
  EXPECT_EQ(Reasons(session),
            std::vector<std::string>{"0 download of app.bin (0x00000000..0x00001000) stopped at 0x00000000"});
  EXPECT_EQ(stop.steps.front(), ORVEL_STEP_CONNECT);
  EXPECT_FALSE(Bus().device(index).restarted());
  EXPECT_EQ(Bus().device(index).trace().size(), 3u);  // probe, erase, download start
}

}  // namespace
