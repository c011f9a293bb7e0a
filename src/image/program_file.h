// Opening and reading a program file for the loaders, with the reasons a
// user needs when it fails: only a regular file is read, and nothing waits
// on anything else (a FIFO with no writer).
#pragma once

#include <cstdint>
#include <string>

#include "common/reason.h"
#include "platform/platform.h"

// Opens the file; false, with the reason, unless it is a regular file that
// is not empty.
bool OpenProgramFile(platform::InputFile& file, const std::string& path, Reasons* why);
// Reads count bytes from the file's current position into dest.
bool ReadProgramFile(platform::InputFile& file, const std::string& path, void* dest, uint64_t count,
                     Reasons* why);

void AddOutOfMemoryReason(Reasons* why, const std::string& path, uint64_t size);

void AddEmptyProgramReason(Reasons* why, const std::string& path);
