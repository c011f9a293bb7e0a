// Command line of orvel-sim: the virtual devices to attach and the command to
// run while they are attached.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "virtual_bootloader.h"

namespace orvel_sim {

// The device numbers stay single digits, so hidapi lists them in order; a
// conveyor has at most as many ports.
constexpr int kMaxDevices = 9;
// Boards a conveyor brings in all (hidraw0 to hidraw99).
constexpr int kMaxBoards = 100;

struct DeviceFault {
  int device = 0;  // the board in conveyor mode
  sim::Fault fault;
};

// --conveyor K:N:GAP_MS: N boards in turn on each of K ports.
struct Conveyor {
  int ports = 0;
  int boardsPerPort = 0;
  int32_t gapMs = 0;
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
  std::vector<std::pair<int, std::string>> serials;  // --serial DEV:TEXT
  std::string flashDir;  // empty: none
  bool conveyorMode = false;
  Conveyor conveyor;
  int noise = 0;
  int32_t appearAfterMs = 0;
  int32_t latencyUs = 0;
  // Run the devices and COMMAND on every CPU rather than on one (--all-cpus).
  bool allCpus = false;
  std::vector<std::string> command;
};

// Devices, or boards in conveyor mode: each has its own number, hidraw node
// and flash. Device or board B sits on port PortOf(B), USB location
// 1-2.<PortOf(B)+1>.
int BoardCount(const SimOptions& options);
int PortOf(const SimOptions& options, int board);
// What board B reports as its serial number ("" for none).
std::string SerialOf(const SimOptions& options, int board);
// Where --flash-dir keeps board B's flash: DIR/<serial>.bin, or
// DIR/board-<B>.bin for a board with no serial number.
std::string FlashDirFile(const SimOptions& options, int board);

// False with a one-line reason in `error` for a bad command line.
bool ParseSimOptions(const std::vector<std::string>& words, SimOptions& options,
                     std::string& error);

// "3:read:2:flip" and the like, the device at most `highestDevice`; false
// for anything malformed.
bool ParseFaultSpec(const std::string& text, DeviceFault& fault,
                    int highestDevice = kMaxDevices - 1);

const char* SimUsage();

}  // namespace orvel_sim
