// Files on disk for the image and option tests: a unique temporary directory
// per test, and Intel HEX lines with correct checksums.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace image_test {

class TempDir {
 public:
  TempDir() {
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("orvel_") + info->test_suite_name() + "_" + info->name();
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() / (name + "_" + std::to_string(random()));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string File(const std::string& name) const { return (path_ / name).string(); }

  std::string Write(const std::string& name, const std::string& content) const {
    const std::string file = File(name);
    WriteTo(file, content);
    return file;
  }

  std::string Write(const std::string& name, const std::vector<uint8_t>& content) const {
    return Write(name, std::string(content.begin(), content.end()));
  }

  static void WriteTo(const std::string& file, const std::string& content) {
    std::ofstream out(file, std::ios::binary);
    out << content;
    ASSERT_TRUE(out.good()) << file;
  }

  static void WriteTo(const std::string& file, const std::vector<uint8_t>& content) {
    WriteTo(file, std::string(content.begin(), content.end()));
  }

 private:
  std::filesystem::path path_;
};

// One Intel HEX record line, without its line end.
inline std::string HexLine(uint8_t type, uint16_t offset, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> fields = {static_cast<uint8_t>(data.size()),
                                 static_cast<uint8_t>(offset >> 8),
                                 static_cast<uint8_t>(offset & 0xFF), type};
  fields.insert(fields.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : fields) sum = static_cast<uint8_t>(sum + b);
  fields.push_back(static_cast<uint8_t>(0x100 - sum));
  static const char kDigits[] = "0123456789ABCDEF";
  std::string line = ":";
  for (uint8_t b : fields) {
    line += kDigits[b >> 4];
    line += kDigits[b & 0xF];
  }
  return line;
}

inline std::string DataLine(uint16_t offset, const std::vector<uint8_t>& data) {
  return HexLine(0x00, offset, data);
}

inline std::string LinearBaseLine(uint16_t upper) {
  return HexLine(0x04, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)});
}

inline std::string SegmentBaseLine(uint16_t segment) {
  return HexLine(0x02, 0, {static_cast<uint8_t>(segment >> 8), static_cast<uint8_t>(segment)});
}

inline const std::string kEndOfFileLine = ":00000001FF";

// Bytes 0, 1, 2, ... of the given count (wrapping at 256).
inline std::vector<uint8_t> CountingBytes(size_t count, uint8_t first = 0) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

}  // namespace image_test
