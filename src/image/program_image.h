// One program file read into a byte image placed at a flash address.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/chip.h"
#include "common/reason.h"

// The -p address that means "take the start address from the HEX file".
constexpr uint32_t kAddressFromFile = 0xFFFFFFFFu;
// Every image starts on a multiple of this; the gap in front of the program's
// first byte, and any gap inside a HEX image, holds the erased-flash value.
constexpr uint32_t kImageAlignment = 0x100u;
constexpr uint8_t kErasedFlashByte = 0xFF;

struct HexRecord {
  uint8_t count = 0;
  uint16_t offset = 0;
  uint8_t type = 0;
  uint8_t data[64] = {};
};

// What is wrong with a line of an Intel HEX file, and where.
struct HexLineError {
  enum class Fault {
    None,
    NoColon,           // the line does not begin with ':'
    BadLength,         // shorter than 11 characters, or of even length
    NotHexDigit,       // at column; character is the one found there
    TooManyBytes,      // count above 64
    CountMismatch,     // count does not fit the line's length
    BadChecksum,       // expected, found
    BaseRecordSize,    // a type 02 or 04 record whose count is not 2
    PastAddressSpace,  // a data record at address running past 0xFFFFFFFF
  };
  Fault fault = Fault::None;
  size_t length = 0;  // of the line, in characters
  size_t column = 0;  // from 1
  char character = 0;
  uint8_t count = 0;
  uint8_t type = 0;
  uint8_t expected = 0;
  uint8_t found = 0;
  uint32_t address = 0;
};

// Validates one Intel HEX line (without its line end) and fills record.
bool ParseHexRecord(std::string_view line, HexRecord& record);
// The same; error says which check failed and where.
bool ParseHexRecord(std::string_view line, HexRecord& record, HexLineError& error);

// True when the path names an Intel HEX file (extension ".hex", any case).
bool IsHexPath(std::string_view path);

class ProgramImage {
 public:
  uint32_t start = 0;
  uint32_t requested = 0;
  uint32_t length = 0;
  std::unique_ptr<uint8_t[]> bytes;
  std::string path;  // the file, as the user named it

  // why, when given, receives the reasons of a failure and any warnings;
  // every reason names the path as given. A HEX file without data bytes
  // loads as an empty image (true) with an error reason, since no caller
  // can use such an image.
  bool Load(uint32_t address, const std::string& path, Reasons* why = nullptr);
  bool LoadBin(const std::string& path, Reasons* why = nullptr);
  // Raw bytes from memory, placed at address as a raw file's are; name only
  // names them in reasons.
  bool LoadRaw(uint32_t address, const std::string& name, const uint8_t* data, size_t size,
               Reasons* why = nullptr);
  bool LoadHex(const std::string& path, Reasons* why = nullptr);
  // LoadHex on text already in memory; path only names it in reasons.
  bool LoadHexText(std::string_view text, const std::string& path, Reasons* why = nullptr);
  uint32_t EffectiveStart() const;
  void Release();

 private:
  // Checks that size raw bytes fit at requested, moves the start down to the
  // alignment and fills in front: where the bytes go, or nullptr.
  uint8_t* ReserveRaw(uint64_t size, Reasons* why);
};
