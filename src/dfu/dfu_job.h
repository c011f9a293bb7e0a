// The DFU job: connect, erase, download, verify, restart.
#pragma once

#include <cstdint>
#include <vector>

#include "common/reason.h"

struct EraseRegion {
  uint32_t start = 0;
  uint32_t length = 0;
};

// The erase regions for the loaded programs, in order.
std::vector<EraseRegion> PlanEraseRegions();

// why, when given, receives what failed (step, program, device) and notes.
bool RunDfuJob(Reasons* why = nullptr);
// theDfuSettings' device identity and --device, into theDeviceSearch.
void CopyDeviceSettingsToSearch();
// The job's connect step with theDfuSettings' device identity, --device, -w
// and --timeout; false when no device answered (after PrintNoDeviceFound).
bool ConnectAsSet(Reasons* why);
// why, when given, receives which step failed, on which region or program,
// and what happened.
bool EraseStep(Reasons* why = nullptr);
bool DownloadStep(Reasons* why = nullptr);
// afterDownload: the overall line (LogMode off) goes on from where the
// download left it, at half; otherwise the read-back is all there is, and the
// line runs from 0% to 100%.
bool VerifyStep(Reasons* why = nullptr, bool afterDownload = true);
bool VerifyProgram(const uint8_t* expected, uint32_t start, uint32_t length, int32_t total,
                   int32_t& done, Reasons* why = nullptr);
// Reads [start, start + length) into `into` with ReadFlash requests of up to
// 62 bytes, moving the progress as VerifyProgram does.
bool ReadFlashInto(uint8_t* into, uint32_t start, uint32_t length, int32_t total, int32_t& done,
                   Reasons* why = nullptr);

void PrintNoDeviceFound();
void PrintEraseArea(uint32_t start, uint32_t length);
void PrintDownloadArea(uint32_t start, uint32_t length);
void PrintVerifyArea(uint32_t start, uint32_t length);
