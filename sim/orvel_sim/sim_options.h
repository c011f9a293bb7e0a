// Command line of orvel-sim: the virtual devices to attach and the command to
// run while they are attached.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "virtual_bootloader.h"

namespace orvel_sim {

// The device numbers stay single digits, so hidapi lists them in order.
constexpr int kMaxDevices = 9;

struct DeviceFault {
  int device = 0;
  sim::Fault fault;
};

struct SimOptions {
  bool help = false;
  int devices = 1;
  uint32_t flashSize = 1u << 20;
  std::string flashFile;  // empty: none
  std::string traceFile;  // empty: none
  std::vector<DeviceFault> faults;
  std::vector<int> silentDevices;
  std::vector<int> noAccessDevices;  // their nodes cannot be opened
  int noise = 0;
  int32_t appearAfterMs = 0;
  int32_t latencyUs = 0;
  std::vector<std::string> command;
};

// False with a one-line reason in `error` for a bad command line.
bool ParseSimOptions(const std::vector<std::string>& words, SimOptions& options,
                     std::string& error);

// "3:read:2:flip" and the like; false for anything malformed.
bool ParseFaultSpec(const std::string& text, DeviceFault& fault);

const char* SimUsage();

}  // namespace orvel_sim
