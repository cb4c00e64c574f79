#include "composer/composer.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <iterator>

#include "d88/container.h"

namespace composer {
namespace {

// What fills a placement's sectors: its bytes, and whether every sector
// repeats them (a block's table, then zeros) or each takes the next
// d88::kSectorBytes of them.
struct Fill {
  std::span<const uint8_t> bytes;
  bool every_sector;
};

// The fill of placement `p`, from the inputs' shares and the converted
// memory image. An input placement takes the shares of the members on its
// cylinders, one member a cylinder, and nothing beyond them.
constexpr Fill FillOf(const Placement& p, InputBytes inputs, const MemoryImage& memory) {
  switch (p.from) {
    case From::kInput: {
      const int first = kInputAt[p.member];
      const int past = kInputAt[p.member + Cylinders(p)];
      return {inputs.subspan(first, past - first), false};
    }
    case From::kMemoryImage:
      return {memory.image, false};
    case From::kCaptureA:
      return {memory.capture_a, false};
    case From::kCaptureB:
      return {memory.capture_b, true};
    case From::kNameTable:
      return {kNameTable, true};
    case From::kZeros:
      return {{}, true};
  }
  return {{}, true};  // not reached: the switch names every From
}

// True when every placement's fill fits it: bytes taken in turn fill each of
// its sectors exactly, and a table fits one sector.
consteval bool EachFillFits() {
  const std::array<uint8_t, kInputBytes> inputs{};
  const MemoryImage memory{};
  for (const Placement& p : kPlacements) {
    const Fill fill = FillOf(p, inputs, memory);
    const std::size_t sectors = static_cast<std::size_t>(Cylinders(p) * Sectors(p));
    if (fill.every_sector && fill.bytes.size() > d88::kSectorBytes) return false;
    if (!fill.every_sector && fill.bytes.size() != sectors * d88::kSectorBytes) return false;
  }
  return true;
}
static_assert(EachFillFits());

// True when the placements take from each input the bytes the input layout
// gives it: from each input that an input placement names, the placement's
// sectors on that input's cylinder; from the source image, what the memory
// image is converted from.
consteval bool TakesAsLaidOut() {
  std::array<int, kInputCount> taken{};
  taken[kSource] = kSourceBytes;
  for (const Placement& p : kPlacements) {
    if (p.from != From::kInput) continue;
    for (int c = 0; c < Cylinders(p); ++c) taken[p.member + c] += Sectors(p) * d88::kSectorBytes;
  }
  return taken == kBytesTaken;
}
static_assert(TakesAsLaidOut());

// True when every sector is placed exactly once, so that the placements may
// be written in any order.
consteval bool EachSectorOnce() {
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

// Where the record of sector number `sector` on `cylinder` begins in `image`.
uint8_t* SectorRecord(Image image, int cylinder, int sector) {
  return image.data() + d88::TrackOffset(cylinder) +
         (sector - d88::kFirstSector) * d88::kSectorRecordBytes;
}

// Fills the image header and the header of every sector record.
void FillHeaders(Image image) {
  d88::FillImageHeader(image.first<d88::kImageHeaderBytes>());
  for (int c = 0; c < d88::kCylinders; ++c) {
    for (int r = d88::kFirstSector; r < d88::kFirstSector + d88::kSectorsPerTrack; ++r) {
      d88::FillSectorHeader(d88::SectorHeader(SectorRecord(image, c, r), d88::kSectorHeaderBytes),
                            c, r);
    }
  }
}

// Writes `fill` into the data of each sector of `p`, cylinder by cylinder
// and sector by sector in each, the bytes followed by zeros to the sector's end.
void FillPlacement(const Placement& p, const Fill& fill, Image image) {
  std::span<const uint8_t> next = fill.bytes;  // what the next sector takes in turn
  for (int c = p.first_cylinder; c <= p.last_cylinder; ++c) {
    for (int r = p.first_sector; r <= p.last_sector; ++r) {
      std::span<const uint8_t> bytes = fill.bytes;
      if (!fill.every_sector) {
        bytes = next.first(d88::kSectorBytes);
        next = next.subspan(d88::kSectorBytes);
      }
      uint8_t* data = SectorRecord(image, c, r) + d88::kSectorHeaderBytes;
      std::fill(std::copy(bytes.begin(), bytes.end(), data), data + d88::kSectorBytes, 0);
    }
  }
}

}  // namespace

void ComposeImage(InputBytes inputs, int32_t window_offset, Image image) {
  ConvertMemoryImage(inputs.subspan<kInputAt[kSource], kSourceBytes>(), window_offset, g_memory);
  FillHeaders(image);
  for (const Placement& p : kPlacements) FillPlacement(p, FillOf(p, inputs, g_memory), image);
}

}  // namespace composer
