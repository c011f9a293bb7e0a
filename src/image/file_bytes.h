// Whole-file reads in binary mode, with the size known before any buffer is
// allocated so callers can refuse files that cannot be sensible programs.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

class BinaryFileReader {
 public:
  // Opens the file for reading in binary mode.
  bool Open(const std::string& path);
  // The file's size in bytes; false when it cannot be determined.
  bool QuerySize(uint64_t& size);
  // Reads exactly size bytes from the beginning of the file into dest.
  bool ReadAll(uint8_t* dest, uint64_t size);

 private:
  std::ifstream stream_;
};
