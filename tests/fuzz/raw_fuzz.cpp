// Raw program files placed at any address. The input is a 4-byte address
// (little-endian), a 3-byte size to extend the file to with zeros (sparse,
// so oversized files are cheap), then the file's bytes. A file of 1 to
// 0xFF000 bytes, fill included, loads to the address rounded down to 256,
// with 0xFF in front and the file's bytes after; a HEX text or ELF file
// loads the same, with one warning. Anything else is refused with one error
// reason and leaves no image.
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "image/program_image.h"

namespace {

using fuzz::Check;

constexpr size_t kHeaderSize = 7;

uint32_t LittleEndian(const uint8_t* bytes, size_t count) {
  uint32_t value = 0;
  for (size_t i = count; i-- > 0;) value = value << 8 | bytes[i];
  return value;
}

bool LooksLikeElfOrHex(std::string_view content) {
  if (content.substr(0, 4) == std::string_view("\x7F" "ELF", 4)) return true;
  std::string_view firstLine = content.substr(0, content.find('\n'));
  if (!firstLine.empty() && firstLine.back() == '\r') firstLine.remove_suffix(1);
  std::vector<uint8_t> bytes;
  return fuzz::ReadHexLinePlainly(firstLine, bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kHeaderSize) return 0;
  const uint32_t address = LittleEndian(data, 4);
  const uint64_t extendTo = LittleEndian(data + 4, 3);
  const std::string_view content(reinterpret_cast<const char*>(data + kHeaderSize), size - kHeaderSize);
  const std::string path = fuzz::WriteScratchFile("program.bin", content);
  const uint64_t fileSize = std::max<uint64_t>(extendTo, content.size());
  if (fileSize > content.size()) std::filesystem::resize_file(path, fileSize);

  Reasons why;
  ProgramImage image;
  const bool loaded = image.Load(address, path, &why);
  fuzz::CheckReasonsFilled(why);
  const uint32_t front = address % kImageAlignment;
  Check(loaded == (fileSize > 0 && fileSize + front <= kLargestProgramArea),
        "a raw file loads exactly when it is not empty and fits the largest area");
  Check(image.path == path, "the image keeps its path");
  if (!loaded) {
    Check(image.bytes == nullptr && image.length == 0, "a rejected file leaves no image");
    Check(why.size() == 1 && why[0].severity == Severity::Error && why[0].args.at(0) == path,
          "a rejected file has one error reason naming it");
    return 0;
  }
  Check(image.start == address - front && image.requested == address - front,
        "the image starts at the address rounded down to 256");
  Check(image.EffectiveStart() == address - front, "the effective start is the rounded address");
  Check(image.length == fileSize + front, "the image holds the fill and the file");
  for (uint32_t i = 0; i < front; ++i) Check(image.bytes[i] == kErasedFlashByte, "the fill in front is 0xFF");
  Check(std::memcmp(image.bytes.get() + front, content.data(), content.size()) == 0,
        "the file's bytes follow the fill");
  static const uint8_t kZeros[4096] = {};
  for (uint64_t i = front + content.size(); i < image.length; i += sizeof kZeros) {
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(sizeof kZeros, image.length - i));
    Check(std::memcmp(image.bytes.get() + i, kZeros, chunk) == 0, "the file's extension reads as zeros");
  }
  // The first line and the first four bytes are all the format check looks
  // at; one zero of the extension stands for all of it there.
  std::string head(content);
  if (fileSize > content.size()) head += '\0';
  const size_t warnings = LooksLikeElfOrHex(head) ? 1 : 0;
  Check(why.size() == warnings && fuzz::CountSeverity(why, Severity::Warning) == warnings,
        "a HEX text or ELF file, and only such, is flashed with one warning");
  return 0;
}
