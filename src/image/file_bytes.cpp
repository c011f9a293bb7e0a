#include "image/file_bytes.h"

#include <limits>

bool BinaryFileReader::Open(const std::string& path) {
  stream_.open(path, std::ios::in | std::ios::binary);
  return stream_.is_open();
}

bool BinaryFileReader::QuerySize(uint64_t& size) {
  stream_.seekg(0, std::ios::end);
  const std::streamoff end = stream_.tellg();
  if (!stream_ || end < 0) {
    return false;
  }
  stream_.seekg(0, std::ios::beg);
  size = static_cast<uint64_t>(end);
  return static_cast<bool>(stream_);
}

bool BinaryFileReader::ReadAll(uint8_t* dest, uint64_t size) {
  if (size > static_cast<uint64_t>(std::numeric_limits<std::streamsize>::max())) {
    return false;
  }
  const auto wanted = static_cast<std::streamsize>(size);
  stream_.read(reinterpret_cast<char*>(dest), wanted);
  return stream_.gcount() == wanted;
}
