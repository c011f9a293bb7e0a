#include "app/job_notes.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "console/console.h"

namespace {

struct NoteTexts {
  const char* english;
  const char* chinese;
};

// {0} bytes, {1} seconds, {2} KB/s.
NoteTexts SummaryTexts(const JobRecord& job) {
  switch (job.kind) {
    case JobKind::VerifyOnly:
      return {"{0} bytes compared in {1} s ({2} KB/s)", "已比较 {0} 字节，用时 {1} 秒（{2} KB/秒）"};
    case JobKind::Read:
      return {"{0} bytes read in {1} s ({2} KB/s)", "已读取 {0} 字节，用时 {1} 秒（{2} KB/秒）"};
    case JobKind::Flash:
      break;
  }
  if (job.readBack) {
    return {"{0} bytes written and verified in {1} s ({2} KB/s)", "已写入并校验 {0} 字节，用时 {1} 秒（{2} KB/秒）"};
  }
  return {"{0} bytes written in {1} s ({2} KB/s)", "已写入 {0} 字节，用时 {1} 秒（{2} KB/秒）"};
}

// What a stop left behind, by where it came.
NoteTexts StopTexts(const JobRecord& job) {
  if (job.lastStep == JobStep::Connect) {
    return {"nothing was erased or written", "没有擦除或写入任何内容"};
  }
  switch (job.kind) {
    case JobKind::VerifyOnly:
      return {"the chip stays in its bootloader, unchanged; running the same command again compares it anew",
              "芯片停留在 bootloader 中，未被改动；再次运行同一命令会重新比较"};
    case JobKind::Read:
      return {"the chip stays in its bootloader, unchanged, and no file was written; running the same command "
              "again reads it anew",
              "芯片停留在 bootloader 中，未被改动，也没有写入文件；再次运行同一命令会重新读取"};
    case JobKind::Flash:
      break;
  }
  if (job.lastStep == JobStep::Erase || job.lastStep == JobStep::Download) {
    return {"the chip stays in its bootloader with an incomplete program; running the same command again "
            "finishes the work",
            "芯片停留在 bootloader 中，程序不完整；再次运行同一命令即可完成"};
  }
  return {"the chip stays in its bootloader; its program is written but the job did not finish; running the "
          "same command again finishes the work",
          "芯片停留在 bootloader 中；程序已写入，但任务没有完成；再次运行同一命令即可完成"};
}

NoteTexts NextStepTexts(ReasonKind kind, const JobRecord& job) {
  switch (kind) {
    case ReasonKind::NoReply:
      return {"next: check the USB cable, put the chip back into its bootloader, then run the same command again",
              "下一步：请检查 USB 线缆，让芯片重新进入 bootloader，然后再次运行同一命令"};
    case ReasonKind::DeviceGone:
      return {"next: the chip left the USB bus; check the USB cable, put the chip back into its bootloader, then "
              "run the same command again",
              "下一步：芯片已从 USB 总线断开；请检查 USB 线缆，让芯片重新进入 bootloader，然后再次运行同一命令"};
    case ReasonKind::WrongReply:
      return {"next: put the chip back into its bootloader (reset it into the bootloader), then run the same "
              "command again",
              "下一步：请让芯片重新进入 bootloader（复位进入 bootloader），然后再次运行同一命令"};
    case ReasonKind::FlashDiffers:
      if (job.kind == JobKind::VerifyOnly) {
        return {"next: the chip holds other bytes than these programs; to write them, run the same command "
                "without --verify-only",
                "下一步：芯片中的内容与这些程序不同；要写入它们，请去掉 --verify-only 后运行同一命令"};
      }
      return {"next: run the same command again; if the same address differs again, the chip's flash there may "
              "be faulty",
              "下一步：请再次运行同一命令；如果同一地址再次不同，芯片该处的 Flash 可能已损坏"};
    case ReasonKind::Stopped:
      return StopTexts(job);
    case ReasonKind::Other:
      break;
  }
  return {nullptr, nullptr};
}

}  // namespace

void AddJobSummary(Reasons& why, const JobRecord& job, int32_t jobMs) {
  const NoteTexts texts = SummaryTexts(job);
  const double seconds = std::max(jobMs, 1) / 1000.0;
  char speed[32];
  std::snprintf(speed, sizeof speed, "%.1f", static_cast<double>(job.bytes) / 1024.0 / seconds);
  AddNote(&why, texts.english, texts.chinese,
          {std::to_string(job.bytes), FormatSeconds(jobMs / 1000.0), speed});
}

void AddNextStep(Reasons& why, const JobRecord& job) {
  const auto trouble = std::find_if(why.begin(), why.end(), [](const Reason& reason) {
    return reason.severity == Severity::Error && reason.kind != ReasonKind::Other;
  });
  if (trouble == why.end()) return;
  const NoteTexts texts = NextStepTexts(trouble->kind, job);
  if (texts.english != nullptr) AddNote(&why, texts.english, texts.chinese);
}
