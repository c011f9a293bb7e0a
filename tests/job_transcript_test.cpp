// A whole job with LogMode on, byte for byte on the console and packet for
// packet at the device: one program of 0x1F40 bytes at 0xA000, read back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "dfu/dfu_job.h"
#include "job_fixture.h"

namespace {

using job_test::AddBootloader;
using job_test::kDefaultDescription;
using job_test::Pattern;
using job_test::SimJobTest;
using job_test::StepProgress;

constexpr uint32_t kStart = 0xA000;
constexpr uint32_t kLength = 0x1F40;  // 130 packets, the last one of 2 bytes

struct Texts {
  const char* enter;
  const char* querying;
  const char* connected;
  const char* eraseHeading;
  const char* eraseArea;
  const char* downloadHeading;
  const char* downloadArea;
  const char* downloadProgress;
  const char* verifyHeading;
  const char* verifyArea;
  const char* verifyProgress;
  const char* restartHeading;
  const char* success;
};

const Texts kEnglish = {"Enter DFU",
                        "Querying USB device connections",
                        ": Query connected device: ",
                        "Erase Device Flash",
                        ": Erase the Flash area",
                        "Download program",
                        ": Download",
                        ">> : Download progress: ",
                        "Verify",
                        ": Read Verify",
                        ">> : Verify progress: ",
                        "Restart the device",
                        ": Successful execution!"};

const Texts kChinese = {"进入 DFU",       "查询 USB 设备连接", "：查询连接到设备：",
                        "擦除设备 Flash", "：擦除 Flash 区域", "下载程序",
                        "：下载",         ">> ：下载进度: ",   "校验",
                        "：读取校验",     ">> ：校验进度: ",   "重启设备",
                        "：执行成功！"};

// Step and job times of the erase, download, verify and restart results.
struct Times {
  const char* erase;
  const char* download;
  const char* verify;
  const char* restart;
};

std::string Transcript(const Texts& t, const Times& times) {
  const std::string area = " (0x0000A000 - 0x00001F40 )";
  const std::string success = std::string(">> ") + t.success + " (";
  std::string text;
  text += std::string(">> ") + t.enter + "\n";
  text += std::string(">> ") + t.querying + "\n";
  text += std::string(">> ") + t.connected + "\"" + kDefaultDescription + "\"\n";
  text += std::string(">> ") + t.eraseHeading + "\n";
  text += std::string(">> ") + t.eraseArea + area + success + times.erase + ")\n";
  text += std::string(">> ") + t.downloadHeading + "\n";
  text += std::string(">> ") + t.downloadArea + area + "\n";
  text += StepProgress(t.downloadProgress, kLength);
  text += success + times.download + ")\n";
  text += std::string(">> ") + t.verifyHeading + "\n";
  text += std::string(">> ") + t.verifyArea + area + "\n";
  text += StepProgress(t.verifyProgress, kLength);
  text += success + times.verify + ")\n";
  text += std::string(">> ") + t.restartHeading + "\n";
  text += success + times.restart + ")\n";
  return text;
}

struct TranscriptCase {
  const char* name;
  int32_t language;
  const Texts* texts;
  bool slowDevice;  // late replies, so that every step shows a time of its own
  Times times;
};

using JobTranscriptTest = SimJobTest;

TEST_F(JobTranscriptTest, OneProgramWithReadBackPrintsEveryStep) {
  const std::vector<TranscriptCase> cases = {
      {"English, slow device",
       1,
       &kEnglish,
       true,
       {"1.500s, 1.500s", "0.250s, 1.750s", "0.125s, 1.875s", "0.000s, 1.875s"}},
      {"Chinese",
       0,
       &kChinese,
       false,
       {"0.000s, 0.000s", "0.000s, 0.000s", "0.000s, 0.000s", "0.000s, 0.000s"}},
  };
  const std::vector<uint8_t> program = Pattern(kLength, 0x3C);
  for (const TranscriptCase& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    UiLanguage = c.language;
    const int index = AddBootloader();
    if (c.slowDevice) {
      Device(index).AddFault({sim::RequestKind::Erase, 1, sim::FaultEffect::Delay, 1500});
      Device(index).AddFault({sim::RequestKind::Data, 1, sim::FaultEffect::Delay, 250});
      Device(index).AddFault({sim::RequestKind::Read, 1, sim::FaultEffect::Delay, 125});
    }
    AddProgram(kStart, program);

    ASSERT_TRUE(RunDfuJob());
    EXPECT_EQ(console.str(), Transcript(*c.texts, c.times));
  }
}

TEST_F(JobTranscriptTest, OneProgramWithReadBackSendsEveryPacketOnce) {
  const int index = AddBootloader();
  const std::vector<uint8_t> program = Pattern(kLength, 0x3C);
  AddProgram(kStart, program);

  ASSERT_TRUE(RunDfuJob());
  const std::vector<std::string> trace = Trace(index);
  ASSERT_EQ(trace.size(), 1u + 1 + 1 + 130 + 130 + 3);
  EXPECT_EQ(trace[0], "dev0 probe");
  EXPECT_EQ(trace[1], "dev0 erase 0x0000A000 2");
  EXPECT_EQ(trace[2], "dev0 start 0x0000A000 0x00001F40");

  // Data packets follow the start, carry the program in order, and the last
  // one its final 2 bytes with 0xFF after them.
  std::vector<uint8_t> carried;
  const auto& requests = Device(index).trace();
  for (size_t i = 3; i < 3 + 130; ++i) {
    ASSERT_EQ(requests[i].kind, sim::RequestKind::Data) << i;
    carried.insert(carried.end(), requests[i].report.begin() + 2, requests[i].report.end());
  }
  const std::vector<uint8_t> tail(carried.begin() + kLength, carried.end());
  carried.resize(kLength);
  EXPECT_EQ(carried, program);
  EXPECT_EQ(tail, std::vector<uint8_t>(60, 0xFF));

  // Reads walk the program in 62-byte steps; the last asks for 2 bytes.
  for (size_t i = 0; i < 130; ++i) {
    const uint32_t offset = static_cast<uint32_t>(i * 62);
    const uint32_t count = i < 129 ? 62 : 2;
    char expected[64];
    std::snprintf(expected, sizeof expected, "dev0 read 0x%08X %u",
                  static_cast<unsigned>(kStart + offset), static_cast<unsigned>(count));
    EXPECT_EQ(trace[133 + i], expected);
  }
  EXPECT_EQ(trace[263], "dev0 restart");
  EXPECT_EQ(trace[264], "dev0 restart");
  EXPECT_EQ(trace[265], "dev0 restart");

  EXPECT_TRUE(job_test::FlashHolds(index, kStart, program));
  const std::vector<uint8_t>& flash = Device(index).flash();
  const auto erased = [](uint8_t b) { return b == 0xFF; };
  EXPECT_TRUE(std::all_of(flash.begin(), flash.begin() + kStart, erased));
  EXPECT_TRUE(std::all_of(flash.begin() + kStart + kLength, flash.end(), erased));
}

}  // namespace
