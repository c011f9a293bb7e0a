// Jobs that only read the chip: a range of its flash, and the programs
// compared with its flash. They connect as a job does and then neither erase,
// write nor restart: the chip stays in its bootloader.
#pragma once

#include <cstdint>
#include <vector>

#include "common/reason.h"

// Reads [start, start + length) into bytes (resized to length) with one
// overall progress line (LogMode off). False when no device answered or a
// read failed; why says which.
bool RunFlashRead(uint32_t start, uint32_t length, std::vector<uint8_t>& bytes, Reasons* why = nullptr);

// Reads back every loaded program and compares it, as the job's verify pass
// does, with one overall progress line from 0% to 100%. False at the first
// difference or failed read; why names the first differing byte.
bool RunVerifyOnly(Reasons* why = nullptr);
