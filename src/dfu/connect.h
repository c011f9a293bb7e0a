// Finding, claiming, opening and probing the bootloader.
#pragma once

#include <cstdint>
#include <string>

#include "common/reason.h"

// 1: a device answered and is open on theHidLink; 0: none (query mode only;
// in wait mode the call returns only when a device connects).
// why, when given, receives why no interface could be used (query mode), or
// which of several was (a note). Wait mode writes at once that it waits, and
// why an interface is skipped the first time it is.
int32_t ConnectDevice(bool wait, Reasons* why = nullptr);
void PrintConnectMessage(bool wait, const std::string& description);
