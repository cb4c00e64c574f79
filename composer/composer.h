// What every sector of the disk holds, decided by cylinder and sector number
// from the table of placements. The inputs are handed over whole, as spans,
// so a sector's content depends only on where it lies, except for the two
// capture areas, which the conversion fills on cylinders 2 to 7 and cylinder 8
// writes again.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <span>

#include "composer/layout.h"
#include "d88/geometry.h"

namespace composer {

using Sector = std::span<uint8_t, d88::kSectorBytes>;

// Two stretches of the source image that the conversion captures while
// writing cylinders 2 to 7, and that cylinder 8 writes again. A byte nothing
// stores stays 0x00.
// Blank bytes are copied from a zero sector rather than filled: compilers
// expand a fill of 256 bytes into a `rep stos`, slow to start at that size,
// and a copy from zeros into plain vector stores.
inline constexpr uint8_t kBlankSector[d88::kSectorBytes] = {};

struct CaptureAreas {
  static constexpr int kABytes =
      Sectors(kPlacements[PlacementIndex(Content::kCaptureData)]) * d88::kSectorBytes;
  static constexpr int kBBytes = 90;  // fills a block's table
  uint8_t a[kABytes] = {};
  uint8_t b[kBBytes] = {};
};

class DiskComposer {
 public:
  DiskComposer(InputBytes inputs, int32_t window_offset)
      : inputs_(inputs), window_offset_(window_offset) {}

  // Fills the data of sector number `sector` (1 to 16) of `cylinder`. Sectors
  // are asked for in image order, so cylinder 8 comes after cylinders 2 to 7.
  // Inline for the blank sectors, most of the disk.
  void SectorContent(int cylinder, int sector, Sector out) {
    const int index = kPlacementMap[cylinder][sector - d88::kFirstSector];
    if (index < 0) {
      std::copy(std::begin(kBlankSector), std::end(kBlankSector), out.begin());
    } else {
      PlacedContent(kPlacements[index], cylinder, sector, out);
    }
  }

 private:
  void PlacedContent(const Placement& p, int cylinder, int sector, Sector out);

  InputBytes inputs_;
  int32_t window_offset_;
  CaptureAreas capture_;
};

}  // namespace composer
