#include "composer/composer.h"

#include <algorithm>
#include <array>
#include <iterator>

#include "composer/conversion.h"
#include "composer/name_table.h"
#include "d88/container.h"

namespace composer {
namespace {

// A block's table is the same in every sector of its placement, then zeros;
// any other buffer fills its placement's sectors one after another.
constexpr bool IsTable(From from) { return from == From::kCaptureB || from == From::kNameTable; }

constexpr int BufferBytes(const Placement& p) {
  switch (p.from) {
    case From::kInput:  // the shares of as many inputs as cylinders, back to back
      return kInputAt[p.member + Cylinders(p)] - kInputAt[p.member];
    case From::kMemoryImage:
      return sizeof MemoryImage::image;
    case From::kCaptureA:
      return sizeof MemoryImage::capture_a;
    case From::kCaptureB:
      return sizeof MemoryImage::capture_b;
    case From::kNameTable:
      return kNameTableBytes;
  }
  return 0;
}

// The placement of every sector, or -1 where the disk is blank.
using PlacementMap = std::array<std::array<int8_t, d88::kSectorsPerTrack>, d88::kCylinders>;

// Not constexpr: reaching it while the map is built stops the build.
void BadPlacement() {}

// Checks that every buffer fills its placement exactly, or one sector at
// most for a table, and that no sector is placed twice.
constexpr PlacementMap MakePlacementMap() {
  PlacementMap map{};
  for (auto& track : map) track.fill(-1);
  for (std::size_t i = 0; i < std::size(kPlacements); ++i) {
    const Placement& p = kPlacements[i];
    const int holds =
        IsTable(p.from) ? d88::kSectorBytes : Cylinders(p) * Sectors(p) * d88::kSectorBytes;
    if (IsTable(p.from) ? BufferBytes(p) > holds : BufferBytes(p) != holds) BadPlacement();
    for (int c = p.first_cylinder; c <= p.last_cylinder; ++c) {
      for (int r = p.first_sector; r <= p.last_sector; ++r) {
        int8_t& slot = map[c][r - d88::kFirstSector];
        if (slot != -1) BadPlacement();
        slot = static_cast<int8_t>(i);
      }
    }
  }
  return map;
}
constexpr PlacementMap kPlacementMap = MakePlacementMap();

// In static storage: the page's stack is small.
MemoryImage g_memory;

std::span<const uint8_t> Buffer(const Placement& p, InputBytes inputs) {
  switch (p.from) {
    case From::kInput:
      return inputs.subspan(kInputAt[p.member], BufferBytes(p));
    case From::kMemoryImage:
      return g_memory.image;
    case From::kCaptureA:
      return g_memory.capture_a;
    case From::kCaptureB:
      return g_memory.capture_b;
    case From::kNameTable:
      return kNameTable;
  }
  return {};
}

}  // namespace

void ComposeImage(InputBytes inputs, int32_t window_offset, Image image) {
  ConvertMemoryImage(inputs.subspan<kInputAt[kSource], kSourceBytes>(), window_offset, g_memory);
  d88::FillImageHeader(image.first<d88::kImageHeaderBytes>());
  uint8_t* record = image.data() + d88::kImageHeaderBytes;  // sector records lie back to back
  for (int c = 0; c < d88::kCylinders; ++c) {
    for (int r = d88::kFirstSector; r < d88::kFirstSector + d88::kSectorsPerTrack; ++r) {
      d88::FillSectorHeader(d88::SectorHeader(record, d88::kSectorHeaderBytes), c, r);
      std::span<const uint8_t> bytes;  // what the sector holds before its zeros
      if (const int index = kPlacementMap[c][r - d88::kFirstSector]; index >= 0) {
        const Placement& p = kPlacements[index];
        const int nth = (c - p.first_cylinder) * Sectors(p) + r - p.first_sector;
        bytes = Buffer(p, inputs);
        if (!IsTable(p.from)) bytes = bytes.subspan(nth * d88::kSectorBytes, d88::kSectorBytes);
      }
      uint8_t* data = record + d88::kSectorHeaderBytes;
      std::fill(std::copy(bytes.begin(), bytes.end(), data), data + d88::kSectorBytes, uint8_t{0});
      record += d88::kSectorRecordBytes;
    }
  }
}

}  // namespace composer
