// Status lines, step results, progress displays, clocks and formatters.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// What every message line, and the shell's prompt, starts with.
constexpr std::string_view kMessagePrefix = ">> ";

extern int32_t JobClock;
extern int32_t StepClock;
extern int32_t LastStepPercent;
extern int32_t LastOverallPercent;

void PrintStatusLine(bool withTime, bool restartStepClock, bool withStepTime, std::string_view text);
void PrintStepResult(bool success);

void ShowDownloadProgress(int32_t total, int32_t done, bool final);
void ShowVerifyProgress(int32_t total, int32_t done, bool final);
void ShowOverallProgress(int32_t total, int32_t done, bool final);
void ResetStepProgress();
// True while a progress line waits for its next update or its line end.
bool ProgressLineOpen();
// For a console whose stream was replaced: the new one has no line open.
void ForgetOpenProgressLine();

void StartJobClock();
void RestartStepClock();

std::string FormatHexAddress(uint32_t value);
std::string FormatSeconds(double seconds);
