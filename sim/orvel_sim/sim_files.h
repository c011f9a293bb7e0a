// The files orvel-sim reads and writes: a device's flash image and the trace.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvel_sim {

// Fills `flash` (already sized and erased) from `path`. A missing file leaves
// the flash erased; a shorter one leaves the rest erased. False with a reason
// for an unreadable file or one larger than the flash.
bool LoadFlashFile(const std::string& path, std::vector<uint8_t>& flash, std::string& error);

// Writes the whole flash to `path`, replacing it.
bool SaveFlashFile(const std::string& path, const std::vector<uint8_t>& flash, std::string& error);

// Makes the folder, and those above it, unless it is there. False with a
// reason when it cannot be made or is no folder.
bool MakeFolder(const std::string& path, std::string& error);

// One line per entry, each ended by a newline.
bool WriteLines(const std::string& path, const std::vector<std::string>& lines,
                std::string& error);

}  // namespace orvel_sim
