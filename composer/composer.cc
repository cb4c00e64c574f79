#include "composer/composer.h"

#include <algorithm>
#include <cstring>

#include "d88/container.h"

namespace composer {
namespace {

// A block's table fills every sector of its placement, then zeros; any other
// buffer fills its placement's sectors one after another, exactly.
constexpr bool IsTable(From from) { return from == From::kCaptureB || from == From::kNameTable; }
constexpr bool Fills(From from, int bytes) {
  const Placement& p = *std::find_if(std::begin(kPlacements), std::end(kPlacements),
                                     [from](const Placement& p) { return p.from == from; });
  return IsTable(from) ? bytes <= d88::kSectorBytes
                       : bytes == Cylinders(p) * Sectors(p) * d88::kSectorBytes;
}
static_assert(Fills(From::kMemoryImage, sizeof MemoryImage::image));
static_assert(Fills(From::kCaptureA, sizeof MemoryImage::capture_a));
static_assert(Fills(From::kCaptureB, sizeof MemoryImage::capture_b));
static_assert(Fills(From::kNameTable, kNameTableBytes));

// No sector is placed twice, so the placements may be written in any order.
constexpr bool Disjoint() {
  for (const Placement& a : kPlacements)
    for (const Placement& b : kPlacements)
      if (&a != &b && a.first_cylinder <= b.last_cylinder && b.first_cylinder <= a.last_cylinder &&
          a.first_sector <= b.last_sector && b.first_sector <= a.last_sector)
        return false;
  return true;
}
static_assert(Disjoint());

// In static storage: the page's stack is small.
MemoryImage g_memory;

uint8_t* SectorRecord(Image image, int cylinder, int sector) {
  return image.data() + d88::TrackOffset(cylinder) +
         (sector - d88::kFirstSector) * d88::kSectorRecordBytes;
}

}  // namespace

void ComposeImage(InputBytes inputs, int32_t window_offset, Image image) {
  ConvertMemoryImage(inputs.subspan<kInputAt[kSource], kSourceBytes>(), window_offset, g_memory);
  d88::FillImageHeader(image.first<d88::kImageHeaderBytes>());
  for (int c = 0; c < d88::kCylinders; ++c) {
    for (int r = d88::kFirstSector; r < d88::kFirstSector + d88::kSectorsPerTrack; ++r) {
      uint8_t* record = SectorRecord(image, c, r);
      d88::FillSectorHeader(d88::SectorHeader(record, d88::kSectorHeaderBytes), c, r);
      std::memset(record + d88::kSectorHeaderBytes, 0, d88::kSectorBytes);
    }
  }
  const std::span<const uint8_t> buffers[] = {inputs, g_memory.image, g_memory.capture_a,
                                              g_memory.capture_b, kNameTable};  // as From
  for (const Placement& p : kPlacements) {
    std::span<const uint8_t> from = buffers[static_cast<int>(p.from)];
    if (p.from == From::kInput) from = from.subspan(kInputAt[p.member]);
    for (int c = p.first_cylinder; c <= p.last_cylinder; ++c) {
      for (int r = p.first_sector; r <= p.last_sector; ++r) {
        const auto bytes = IsTable(p.from) ? from : from.first(d88::kSectorBytes);
        if (!IsTable(p.from)) from = from.subspan(d88::kSectorBytes);
        std::copy(bytes.begin(), bytes.end(), SectorRecord(image, c, r) + d88::kSectorHeaderBytes);
      }
    }
  }
}

}  // namespace composer
