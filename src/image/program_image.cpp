#include "image/program_image.h"

#include <cstring>
#include <new>

#include "common/ascii_case.h"
#include "image/program_file.h"

namespace {

// Raw bytes that are really a file format the user meant to be read: Intel
// HEX text (its first line is a valid record) or an ELF file. Either is
// still flashed as it is, byte for byte, but with a warning.
void WarnAboutFormat(const uint8_t* bytes, size_t size, const std::string& path, Reasons* why) {
  static const uint8_t kElfMagic[] = {0x7F, 'E', 'L', 'F'};
  if (size >= sizeof kElfMagic && std::memcmp(bytes, kElfMagic, sizeof kElfMagic) == 0) {
    AddWarning(why,
               "'{0}' is an ELF file; it is flashed as raw bytes, the whole file as it is. "
               "To flash its program, convert it to Intel HEX (objcopy -O ihex) in a file named .hex",
               "“{0}”是 ELF 文件；它将作为原始字节原样整个烧录。要烧录其中的程序，"
               "请先转换为 Intel HEX（objcopy -O ihex），文件扩展名为 .hex",
               {path});
    return;
  }
  std::string_view firstLine(reinterpret_cast<const char*>(bytes), size);
  firstLine = firstLine.substr(0, firstLine.find('\n'));
  if (!firstLine.empty() && firstLine.back() == '\r') firstLine.remove_suffix(1);
  HexRecord record;
  if (ParseHexRecord(firstLine, record)) {
    AddWarning(why,
               "'{0}' holds Intel HEX text; it is flashed as raw bytes, the text itself. "
               "Only a file named .hex is read as Intel HEX",
               "“{0}”是 Intel HEX 文本；它将作为原始字节烧录，即文本本身。只有扩展名为 .hex 的文件才按 Intel HEX 读取",
               {path});
  }
}

}  // namespace

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

bool ProgramImage::LoadBin(const std::string& path, Reasons* why) {
  platform::InputFile file;
  if (!OpenProgramFile(file, path, why)) return false;
  uint8_t* into = ReserveRaw(file.size(), why);
  if (into == nullptr) return false;
  if (!ReadProgramFile(file, path, into, file.size(), why)) {
    bytes.reset();
    length = 0;
    return false;
  }
  WarnAboutFormat(into, file.size(), path, why);
  return true;
}

bool ProgramImage::LoadRaw(uint32_t address, const std::string& name, const uint8_t* data, size_t size,
                           Reasons* why) {
  Release();
  requested = address;
  start = address;
  path = name;
  if (size == 0) {
    AddEmptyProgramReason(why, name);
    return false;
  }
  uint8_t* into = ReserveRaw(size, why);
  if (into == nullptr) return false;
  std::memcpy(into, data, size);
  WarnAboutFormat(into, size, name, why);
  return true;
}

uint8_t* ProgramImage::ReserveRaw(uint64_t size, Reasons* why) {
  const uint32_t front = requested % kImageAlignment;
  // No program area holds more; refusing here keeps a huge file from ever
  // being allocated or read.
  if (size > kLargestProgramArea) {
    AddError(why, "'{0}' holds {1} bytes, more than the largest program area ({2} bytes, 1020 KB)",
             "“{0}”有 {1} 字节，超过最大的程序区（{2} 字节，1020 KB）",
             {path, std::to_string(size), std::to_string(kLargestProgramArea)});
    return nullptr;
  }
  if (size > kLargestProgramArea - front) {
    AddError(why, "'{0}' holds {1} bytes; with the {2} bytes of fill in front of {3} the image is larger than "
                  "the largest program area ({4} bytes, 1020 KB)",
             "“{0}”有 {1} 字节；加上 {3} 前面的 {2} 字节填充，映像超过最大的程序区（{4} 字节，1020 KB）",
             {path, std::to_string(size), std::to_string(front), AddressText(requested),
              std::to_string(kLargestProgramArea)});
    return nullptr;
  }
  start -= front;
  requested -= front;
  length = static_cast<uint32_t>(size) + front;
  bytes.reset(new (std::nothrow) uint8_t[length]);
  if (!bytes) {
    AddOutOfMemoryReason(why, path, length);
    length = 0;
    return nullptr;
  }
  std::memset(bytes.get(), kErasedFlashByte, front);
  return bytes.get() + front;
}
