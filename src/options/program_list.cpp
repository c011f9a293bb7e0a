// Loading the -p programs into the sorted, non-overlapping image list.
#include <cstddef>
#include <utility>

#include "options/dfu_options.h"

ProgramImageList theProgramImageList;

namespace {

constexpr int32_t kProgramsLoaded = 1;
constexpr int32_t kNoPrograms = -1;
constexpr int32_t kProgramRejected = -3;

// The first address past the program area, by the chip's flash size.
uint32_t ProgramAreaEnd(uint8_t flash_size) {
  switch (flash_size) {
    case 1:
      return 0x7F000;
    case 2:
      return 0xFF000;
    default:
      return 0x3F000;
  }
}

bool LiesInProgramArea(const ProgramImage& image, uint32_t areaEnd) {
  const uint32_t start = image.EffectiveStart();
  return image.length != 0 && start < areaEnd && image.length <= areaEnd - start;
}

uint64_t ImageEnd(const ProgramImage& image) {
  return uint64_t{image.EffectiveStart()} + image.length;
}

// Puts the image in address order; false when it shares its start or any
// byte with an image already in the list. Touching images are fine.
bool InsertInAddressOrder(ProgramImage& image) {
  std::vector<ProgramImage>& images = theProgramImageList.images;
  const uint32_t start = image.EffectiveStart();
  size_t successor = 0;
  while (successor < images.size() && images[successor].EffectiveStart() <= start) {
    if (images[successor].EffectiveStart() == start) {
      return false;
    }
    ++successor;
  }
  if (successor < images.size() && ImageEnd(image) > images[successor].EffectiveStart()) {
    return false;
  }
  if (successor > 0 && ImageEnd(images[successor - 1]) > start) {
    return false;
  }
  images.insert(images.begin() + static_cast<std::ptrdiff_t>(successor), std::move(image));
  return true;
}

}  // namespace

int32_t LoadPrograms(Reasons* why) {
  ClearProgramImageList();
  theProgramImageList.areaEnd = ProgramAreaEnd(theDfuSettings.flash_size);
  if (theDfuSettings.programs.empty()) {
    return kNoPrograms;
  }
  for (const ProgramEntry& entry : theDfuSettings.programs) {
    ProgramImage image;
    if (!image.Load(entry.addr, entry.pg_path, why) ||
        !LiesInProgramArea(image, theProgramImageList.areaEnd) ||
        !InsertInAddressOrder(image)) {
      image.Release();
      return kProgramRejected;
    }
  }
  return kProgramsLoaded;
}

void ClearProgramImageList() {
  for (ProgramImage& image : theProgramImageList.images) {
    image.Release();
  }
  theProgramImageList.images.clear();
}
