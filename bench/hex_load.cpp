// Loads one program file through ProgramImage::Load, as the tool does for a
// -p option, and writes the image out, as objcopy writes its binary: the
// whole cost of reading a HEX file, process start included, for
// bench/hex_vs_objcopy.sh to time against objcopy.
//
//   orvel-hex-load FILE [OUT]   exit status 0 when the file loaded, 1 otherwise

#include <cstdio>

#include "image/program_image.h"

namespace {

bool WriteImage(const ProgramImage& image, const char* out) {
  std::FILE* file = std::fopen(out, "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(image.bytes.get(), 1, image.length, file) == image.length;
  return std::fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: orvel-hex-load FILE [OUT]\n");
    return 2;
  }
  ProgramImage image;
  if (!image.Load(kAddressFromFile, argv[1]) || image.length == 0) return 1;
  return argc == 3 && !WriteImage(image, argv[2]) ? 1 : 0;
}
