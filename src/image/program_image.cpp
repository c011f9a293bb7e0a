#include "image/program_image.h"

#include <cstring>
#include <new>

#include "common/ascii_case.h"
#include "image/file_bytes.h"

bool IsHexPath(std::string_view path) {
  const size_t dot = path.rfind('.');
  if (dot == std::string_view::npos) {
    return false;
  }
  const size_t separator = path.find_last_of("/\\");
  if (separator != std::string_view::npos && separator > dot) {
    return false;  // the dot belongs to a directory name
  }
  return EqualsIgnoringAsciiCase(path.substr(dot), ".hex");
}

bool ProgramImage::Load(uint32_t address, const std::string& filePath, Reasons* why) {
  Release();
  requested = address;
  path = filePath;
  if (IsHexPath(filePath)) {
    return LoadHex(filePath, why);
  }
  start = address;
  return LoadBin(filePath, why);
}

uint32_t ProgramImage::EffectiveStart() const {
  return requested == kAddressFromFile ? start : requested;
}

void ProgramImage::Release() {
  bytes.reset();
  start = 0;
  requested = 0;
  length = 0;
  path.clear();
}

bool ProgramImage::LoadBin(const std::string& path, Reasons* /*why*/) {
  BinaryFileReader file;
  uint64_t size = 0;
  if (!file.Open(path) || !file.QuerySize(size) || size == 0) {
    return false;
  }
  const uint32_t front = requested % kImageAlignment;
  // No program area holds more; refusing here keeps a huge file from ever
  // being allocated or read.
  if (size > kLargestProgramArea - front) {
    return false;
  }
  start -= front;
  requested -= front;
  length = static_cast<uint32_t>(size) + front;
  bytes.reset(new (std::nothrow) uint8_t[length]);
  if (!bytes) {
    length = 0;
    return false;
  }
  std::memset(bytes.get(), kErasedFlashByte, front);
  return file.ReadAll(bytes.get() + front, size);
}
