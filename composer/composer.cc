#include "composer/composer.h"

#include <algorithm>
#include <array>
#include <iterator>

#include "d88/container.h"

namespace composer {
namespace {

// A table (a block's, or nothing) fills every sector of its placement, then
// zeros; any other buffer fills its placement's sectors in turn, exactly.
constexpr bool IsTable(From from) { return from >= From::kCaptureB; }
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

// Every sector is placed exactly once, so the placements may be written in
// any order.
constexpr bool EachSectorOnce() {
  std::array<int, d88::kCylinders * d88::kSectorsPerTrack> placed{};
  for (const Placement& p : kPlacements)
    for (int c = p.first_cylinder; c <= p.last_cylinder; ++c)
      for (int r = p.first_sector; r <= p.last_sector; ++r)
        ++placed[c * d88::kSectorsPerTrack + r - d88::kFirstSector];
  return std::count(placed.begin(), placed.end(), 1) == std::ssize(placed);
}
static_assert(EachSectorOnce());

// In static storage, as the page's stack is small: one composition at a time.
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
      d88::FillSectorHeader(d88::SectorHeader(SectorRecord(image, c, r), d88::kSectorHeaderBytes),
                            c, r);
    }
  }
  const std::span<const uint8_t> buffers[] = {
      inputs, g_memory.image, g_memory.capture_a, g_memory.capture_b, kNameTable, {}};  // as From
  for (const Placement& p : kPlacements) {
    std::span<const uint8_t> from = buffers[static_cast<int>(p.from)];
    if (p.from == From::kInput) from = from.subspan(kInputAt[p.member]);
    for (int c = p.first_cylinder; c <= p.last_cylinder; ++c) {
      for (int r = p.first_sector; r <= p.last_sector; ++r) {
        const auto bytes = IsTable(p.from) ? from : from.first(d88::kSectorBytes);
        if (!IsTable(p.from)) from = from.subspan(d88::kSectorBytes);
        uint8_t* data = SectorRecord(image, c, r) + d88::kSectorHeaderBytes;
        std::fill(std::copy(bytes.begin(), bytes.end(), data), data + d88::kSectorBytes, 0);
      }
    }
  }
}

}  // namespace composer
