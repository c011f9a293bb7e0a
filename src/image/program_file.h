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

// What a file that is not a regular one is, to follow "is" in English and
// a name in Chinese: "a FIFO, not a regular file", "是命名管道（FIFO），不是普通文件".
struct FileKindWords {
  const char* english;
  const char* chinese;
};
FileKindWords NotRegularFileWords(platform::FileKind kind);
