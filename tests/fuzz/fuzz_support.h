// What the fuzz targets share: a private scratch folder for the files an
// input names, a property check that stops the run, and a plain reading of
// one Intel HEX line to hold the loader against.
#pragma once

#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "common/reason.h"

namespace fuzz {

// A failed property is a finding: say which and stop, so that the fuzzer
// keeps the input and the corpus replay fails.
inline void Check(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "property failed: %s\n", property);
  std::abort();
}

// The process's own scratch folder, made empty on the first call; files in
// it live until the next input replaces them.
inline const std::filesystem::path& ScratchDir() {
  static const std::filesystem::path dir = [] {
    const std::filesystem::path shm = "/dev/shm";
    const std::filesystem::path base = std::filesystem::is_directory(shm) ? shm
                                                                          : std::filesystem::temp_directory_path();
    std::filesystem::path path = base / ("orvel-fuzz-" + std::to_string(getpid()));
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    std::atexit([] { std::filesystem::remove_all(ScratchDir()); });
    return path;
  }();
  return dir;
}

inline std::string WriteScratchFile(const std::string& name, std::string_view content) {
  const std::string path = (ScratchDir() / name).string();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  Check(static_cast<bool>(out), "a scratch file could be written");
  return path;
}

// Every placeholder of a reason has its argument, in both languages.
inline void CheckReasonsFilled(const Reasons& reasons) {
  for (const Reason& reason : reasons) {
    for (const std::string* text : {&reason.english, &reason.chinese}) {
      for (size_t i = 0; i + 2 < text->size(); ++i) {
        if ((*text)[i] == '{' && std::isdigit(static_cast<unsigned char>((*text)[i + 1])) &&
            (*text)[i + 2] == '}') {
          Check(static_cast<size_t>((*text)[i + 1] - '0') < reason.args.size(), "every placeholder has its argument");
        }
      }
    }
  }
}

inline size_t CountSeverity(const Reasons& reasons, Severity severity) {
  size_t count = 0;
  for (const Reason& reason : reasons) count += reason.severity == severity ? 1 : 0;
  return count;
}

// One HEX line read the plain way: ":" and an odd number of hexadecimal
// digits, at least 11 characters, bytes summing to 0, a byte count of at
// most 64 that matches the length. The bytes after the colon, or false.
inline bool ReadHexLinePlainly(std::string_view line, std::vector<uint8_t>& bytes) {
  bytes.clear();
  if (line.size() < 11 || line[0] != ':' || line.size() % 2 == 0) return false;
  for (size_t i = 1; i < line.size(); ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(line[i]))) return false;
  }
  unsigned sum = 0;
  for (size_t i = 1; i < line.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(std::string(line.substr(i, 2)), nullptr, 16)));
    sum += bytes.back();
  }
  return sum % 256 == 0 && bytes[0] <= 64 && line.size() == 2u * bytes[0] + 11;
}

}  // namespace fuzz
