// The Intel HEX loader, from text to image or rejection, held against a
// plain reading of the same text: the same verdict, and for an accepted
// file an image of at most 0xFF000 bytes that starts on a 256-byte boundary
// with every data byte at its address (the later record winning) and 0xFF
// everywhere else; a moved image keeps every byte's distance. A rejected
// file leaves no image and one error reason that names its line.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "image/program_image.h"

namespace {

using fuzz::Check;

constexpr uint32_t kMovedTo = 0xA010;

struct PlainImage {
  bool accepted = false;
  std::map<uint32_t, uint8_t> bytes;  // address -> byte, the later record winning
  int badLine = 0;                    // the physical line that was refused, from 1
};

// The file read the plain way, line by line, with no concern for speed.
PlainImage ReadPlainly(std::string_view text) {
  PlainImage image;
  uint32_t segmentBase = 0;
  uint32_t linearBase = 0;
  bool anyLine = false;
  int number = 0;
  std::vector<uint8_t> bytes;
  while (!text.empty()) {
    ++number;
    const size_t feed = text.find('\n');
    std::string_view line = text.substr(0, feed);
    text = feed == std::string_view::npos ? std::string_view() : text.substr(feed + 1);
    if (feed != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    anyLine = true;
    image.badLine = number;
    if (!fuzz::ReadHexLinePlainly(line, bytes)) return image;
    const uint8_t count = bytes[0];
    const uint8_t type = bytes[3];
    if (type == 2 || type == 4) {
      if (count != 2) return image;
      const uint32_t value = bytes[4] * 256u + bytes[5];
      (type == 2 ? segmentBase : linearBase) = type == 2 ? value * 16u : value * 65536u;
    } else if (type == 0) {
      const uint32_t address = bytes[1] * 256u + bytes[2] + segmentBase + linearBase;
      if (uint64_t{address} + count > 0x100000000ull) return image;
      for (uint32_t i = 0; i < count; ++i) image.bytes[address + i] = bytes[4 + i];
    }
  }
  image.badLine = 0;
  image.accepted = anyLine;
  return image;
}

uint64_t ExtentEnd(const PlainImage& plain) { return uint64_t{plain.bytes.rbegin()->first} + 1; }

void CheckRejected(const ProgramImage& image, const Reasons& why, int badLine) {
  Check(image.bytes == nullptr && image.length == 0, "a rejected file leaves no image");
  Check(why.size() == 1 && why[0].severity == Severity::Error, "a rejected file has one error reason");
  const std::string lineTag = "{0}:{1}: ";
  if (badLine > 0) {
    Check(why[0].english.compare(0, lineTag.size(), lineTag) == 0 && why[0].args.size() >= 2 &&
              why[0].args[1] == std::to_string(badLine),
          "a refused line is named by its number");
  }
}

// Every byte of the image against the plain reading: data at its address,
// 0xFF in front and in gaps.
void CheckPlaced(const ProgramImage& image, const PlainImage& plain, uint32_t fileStart) {
  Check(image.bytes != nullptr, "an accepted image has bytes");
  Check(image.length <= kLargestProgramArea, "an image is at most 0xFF000 bytes");
  Check(image.EffectiveStart() % kImageAlignment == 0, "an image starts on a 256-byte boundary");
  const uint32_t lowest = plain.bytes.begin()->first;
  Check(image.start <= lowest || image.start > 0xFFFFFF00u, "the image begins at or below its lowest byte");
  Check(uint64_t{static_cast<uint32_t>(lowest - fileStart)} + (ExtentEnd(plain) - lowest) == image.length,
        "the image ends with its highest byte");
  auto next = plain.bytes.begin();
  for (uint32_t i = 0; i < image.length; ++i) {
    const uint32_t address = fileStart + i;
    if (next != plain.bytes.end() && next->first == address) {
      Check(image.bytes[i] == next->second, "every data byte sits at its address");
      ++next;
    } else {
      Check(image.bytes[i] == kErasedFlashByte, "bytes no record covers are 0xFF");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const PlainImage plain = ReadPlainly(text);

  // The record parser alone, on the first line, straight from the input.
  HexRecord record;
  std::vector<uint8_t> bytes;
  const std::string_view firstLine = text.substr(0, text.find('\n'));
  Check(ParseHexRecord(firstLine, record) == fuzz::ReadHexLinePlainly(firstLine, bytes),
        "the record parser agrees with the plain reading");

  Reasons why;
  ProgramImage image;
  image.requested = kAddressFromFile;
  const bool loaded = image.LoadHexText(text, "fuzz.hex", &why);
  fuzz::CheckReasonsFilled(why);
  if (!plain.accepted) {
    Check(!loaded, "a file the plain reading refuses is refused");
    CheckRejected(image, why, plain.badLine);
    return 0;
  }
  if (plain.bytes.empty()) {
    Check(loaded && image.length == 0 && image.bytes == nullptr, "a file without data bytes is an empty image");
    Check(why.size() == 1 && why[0].severity == Severity::Error, "an empty image comes with its reason");
    return 0;
  }
  const uint32_t lowest = plain.bytes.begin()->first;
  const uint64_t span = ExtentEnd(plain) - lowest;
  Check(loaded == (span + lowest % kImageAlignment <= kLargestProgramArea), "only an oversized image is refused");
  if (!loaded) {
    CheckRejected(image, why, 0);
    return 0;
  }
  Check(why.empty(), "an accepted file has no reason");
  Check(image.start == lowest - lowest % kImageAlignment, "the start is the lowest address rounded down");
  CheckPlaced(image, plain, image.start);

  // Moved: the lowest byte lands at kMovedTo, the rest keep their distance.
  ProgramImage moved;
  moved.requested = kMovedTo;
  const bool movedLoaded = moved.LoadHexText(text, "fuzz.hex", nullptr);
  const uint32_t front = kMovedTo % kImageAlignment;
  Check(movedLoaded == (span + front <= kLargestProgramArea), "a moved image is refused only when oversized");
  if (movedLoaded) {
    Check(moved.requested == kMovedTo - front && moved.start == lowest - front, "a moved image keeps its front fill");
    CheckPlaced(moved, plain, moved.start);
  }
  return 0;
}
