// Loading the -p programs into the sorted, non-overlapping image list.
#include <cstddef>
#include <utility>

#include "options/dfu_options.h"

namespace {

constexpr int32_t kProgramsLoaded = 1;
constexpr int32_t kNoPrograms = -1;
constexpr int32_t kProgramRejected = -3;

bool LiesInProgramArea(const ProgramImage& image, uint32_t areaEnd) {
  const uint32_t start = image.EffectiveStart();
  return image.length != 0 && start < areaEnd && image.length <= areaEnd - start;
}

uint64_t ImageEnd(const ProgramImage& image) {
  return uint64_t{image.EffectiveStart()} + image.length;
}

// The image's flash range, "0x0007E000..0x00080000".
std::string RangeText(const ProgramImage& image) { return ::RangeText(image.EffectiveStart(), image.length); }

// The image in the list that shares the new image's start or any byte with
// it, or nullptr; place receives where the new image belongs. Touching
// images are fine.
const ProgramImage* FindConflict(const std::vector<ProgramImage>& images, const ProgramImage& image,
                                 size_t& place) {
  const uint32_t start = image.EffectiveStart();
  size_t successor = 0;
  while (successor < images.size() && images[successor].EffectiveStart() <= start) {
    if (images[successor].EffectiveStart() == start) {
      return &images[successor];
    }
    ++successor;
  }
  if (successor < images.size() && ImageEnd(image) > images[successor].EffectiveStart()) {
    return &images[successor];
  }
  if (successor > 0 && ImageEnd(images[successor - 1]) > start) {
    return &images[successor - 1];
  }
  place = successor;
  return nullptr;
}

// Puts the image in address order; false when it conflicts with an image
// already in the list.
bool InsertInAddressOrder(std::vector<ProgramImage>& images, ProgramImage& image, Reasons* why) {
  size_t place = 0;
  if (const ProgramImage* other = FindConflict(images, image, place)) {
    AddError(why, "'{0}' ({1}) overlaps '{2}' ({3}): programs must not share flash",
             "“{0}”（{1}）与“{2}”（{3}）重叠：程序之间不能有重叠区域",
             {image.path, RangeText(image), other->path, RangeText(*other)});
    return false;
  }
  images.insert(images.begin() + static_cast<std::ptrdiff_t>(place), std::move(image));
  return true;
}

bool ErrorAddedSince(const Reasons* why, size_t count) {
  if (why == nullptr) return false;
  for (size_t i = count; i < why->size(); ++i) {
    if ((*why)[i].severity == Severity::Error) return true;
  }
  return false;
}

// The loader says why a file cannot be a program; where it has not, this
// says which file failed.
bool LoadImage(ProgramImage& image, const ProgramEntry& entry, Reasons* why) {
  const size_t before = why != nullptr ? why->size() : 0;
  const bool loaded = entry.inMemory ? image.LoadRaw(entry.addr, entry.pg_path, entry.data.data(), entry.data.size(), why)
                                     : image.Load(entry.addr, entry.pg_path, why);
  if (!loaded && !ErrorAddedSince(why, before)) {
    AddError(why, "cannot load '{0}'", "无法加载“{0}”", {entry.pg_path});
  } else if (loaded && image.length == 0 && !ErrorAddedSince(why, before)) {
    AddError(why, "'{0}' holds no program bytes", "“{0}”不含任何程序数据", {entry.pg_path});
  }
  return loaded && image.length != 0;
}

// The smallest flash size whose program area holds the image, or none.
bool FittingFlashSize(const ProgramImage& image, uint8_t& flash_size) {
  for (uint8_t size = 0; size <= kLargestFlashSize; ++size) {
    if (LiesInProgramArea(image, ProgramAreaEnd(size))) {
      flash_size = size;
      return true;
    }
  }
  return false;
}

void RefuseOutsideProgramArea(const ProgramImage& image, const ProgramEntry& entry, uint8_t flash_size,
                              Reasons* why) {
  const std::string chosen = std::to_string(flash_size);
  const std::string areaEnd = AddressText(ProgramAreaEnd(flash_size));
  uint8_t fitting = 0;
  if (FittingFlashSize(image, fitting)) {
    AddError(why, "'{0}' ({1}) does not fit the program area, which ends at {2} with -s {3}; with -s {4} it fits",
             "“{0}”（{1}）超出芯片程序区：-s {3} 时程序区结束于 {2}；改用 -s {4} 可以放下",
             {image.path, RangeText(image), areaEnd, chosen, std::to_string(fitting)});
  } else {
    AddError(why,
             "'{0}' ({1}) does not fit the program area, which ends at {2} with -s {3}; no -s value fits it "
             "(the largest area ends at {4})",
             "“{0}”（{1}）超出芯片程序区：-s {3} 时程序区结束于 {2}；任何 -s 值都放不下（最大的程序区结束于 {4}）",
             {image.path, RangeText(image), areaEnd, chosen, AddressText(ProgramAreaEnd(kLargestFlashSize))});
  }
  if (entry.addr == kAddressFromFile && (entry.inMemory || !IsHexPath(entry.pg_path))) {
    AddNote(why, "address FFFFFFFF takes the start from an Intel HEX file (.hex); '{0}' is a raw binary and needs its address",
            "地址 FFFFFFFF 表示从 Intel HEX 文件（.hex）中读取起始地址；“{0}”是原始二进制文件，需要指定地址", {image.path});
  }
}

}  // namespace

int32_t LoadPrograms(const DfuSettings& settings, ProgramImageList& programs, Reasons* why) {
  ClearProgramImageList(programs);
  programs.areaEnd = ProgramAreaEnd(settings.flash_size);
  if (settings.programs.empty()) {
    return kNoPrograms;
  }
  for (const ProgramEntry& entry : settings.programs) {
    ProgramImage image;
    bool placed = LoadImage(image, entry, why);
    if (placed && !LiesInProgramArea(image, programs.areaEnd)) {
      RefuseOutsideProgramArea(image, entry, settings.flash_size, why);
      placed = false;
    }
    if (!placed || !InsertInAddressOrder(programs.images, image, why)) {
      image.Release();
      return kProgramRejected;
    }
  }
  return kProgramsLoaded;
}

void ClearProgramImageList(ProgramImageList& programs) {
  for (ProgramImage& image : programs.images) {
    image.Release();
  }
  programs.images.clear();
}
