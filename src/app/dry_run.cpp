// --dry-run: the programs loaded and checked as for a job, and the job's
// plan on standard output; no device is touched.
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/app.h"
#include "app/tool_state.h"
#include "common/reason.h"
#include "console/console.h"
#include "console/output.h"
#include "console/reasons.h"
#include "dfu/job_plan.h"
#include "dfu/rom_packets.h"
#include "options/dfu_options.h"

namespace {

// One line of the plan: a template in the UI language, with the arguments
// (paths as the user gave them, numbers already formatted) put in.
void WritePlanLine(std::string_view english, std::string_view chinese, const std::vector<std::string>& args) {
  ConsoleOut() << FillReasonTemplate(Localized(english, chinese), args) << '\n';
}

void WriteProgramLines() {
  for (const ProgramSummary& program : SummarizePrograms(theProgramImageList.images)) {
    WritePlanLine("Program '{0}': {1}, {2} bytes, CRC-32 {3}", "程序“{0}”：{1}，{2} 字节，CRC-32 {3}",
                  {program.path, RangeText(program.start, program.length), std::to_string(program.length),
                   AddressText(program.crc)});
  }
}

void WriteEraseLines(const std::vector<EraseRegion>& regions) {
  for (const EraseRegion& region : regions) {
    const uint32_t sectors = EraseSectorCount(region.start, region.length);
    WritePlanLine(sectors == 1 ? "Erase {0}: {1} sector" : "Erase {0}: {1} sectors", "擦除 {0}：{1} 个扇区",
                  {AddressText(region.start), std::to_string(sectors)});
  }
}

void WritePacketLines(const JobPacketCounts& counts) {
  const uint32_t total = counts.Total();
  WritePlanLine(
      "Packets: probe {0}, erase {1}, download start {2}, download data {3}, read {4}, restart {5}; {6} in all",
      "数据包：探测 {0}，擦除 {1}，下载开始 {2}，下载数据 {3}，读取 {4}，重启 {5}；共 {6} 个",
      {std::to_string(counts.probe), std::to_string(counts.erase), std::to_string(counts.downloadStart),
       std::to_string(counts.downloadData), std::to_string(counts.read), std::to_string(counts.restart),
       std::to_string(total)});
  WritePlanLine("USB time: {0} s at one exchange per millisecond", "USB 时间：{0} 秒（每毫秒一次交换）",
                {FormatSeconds(total / 1000.0)});
}

}  // namespace

void PrintDryRunPlan() {
  WritePlanLine("Dry run: the job these options describe; no device is touched",
                "试运行：以下是这些选项描述的任务，不访问任何设备", {});
  WriteProgramLines();
  const JobPlan plan = PlanJob(theProgramImageList.images, theDfuSettings.mode);
  WriteEraseLines(plan.regions);
  WritePacketLines(plan.packets);
  ConsoleOut() << std::flush;
}

// A job that would not start is the dry run's failure, not a refusal: the
// question was whether it would.
RunOutcome RunDryRun() {
  Reasons why;
  const bool loaded = LoadJobPrograms(&why);
  WriteReasons(why);
  if (!loaded) return RunOutcome::Failed;
  PrintDryRunPlan();
  return RunOutcome::Succeeded;
}
