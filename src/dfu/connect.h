// Finding, claiming, opening and probing the bootloader.
#pragma once

#include <cstdint>
#include <string>

// 1: a device answered and is open on theHidLink; 0: none (query mode only;
// in wait mode the call returns only when a device connects).
int32_t ConnectDevice(bool wait);
void PrintConnectMessage(bool wait, const std::string& description);
