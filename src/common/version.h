// The tool's name and version, shared by the console tool and the library.
#pragma once

#include <cstdint>
#include <string>

constexpr const char* kToolName = "Orvel ROM DFU";
constexpr int32_t kVersionMajor = 0;
constexpr int32_t kVersionMinor = 0;
constexpr int32_t kVersionPatch = 1;

// "Orvel ROM DFU V0.0.1".
inline std::string VersionLine() {
  return std::string(kToolName) + " V" + std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) +
         "." + std::to_string(kVersionPatch);
}
