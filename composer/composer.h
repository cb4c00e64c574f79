// What every sector of the disk holds, decided by cylinder and sector number
// from the table of placements. The inputs are handed over whole, so a
// sector's content depends only on where it lies, except for the two capture
// areas, which the conversion fills on cylinders 2 to 7 and cylinder 8
// writes again. The whole image is composed in memory from the inputs'
// bytes, by whichever driver holds them.
#pragma once

#include <cstdint>
#include <span>

#include "composer/layout.h"
#include "d88/geometry.h"

namespace composer {

class DiskComposer {
 public:
  DiskComposer(InputBytes inputs, int32_t window_offset)
      : inputs_(inputs), window_offset_(window_offset) {}

  // Fills the data of sector number `sector` (1 to 16) of `cylinder`. Sectors
  // are asked for in image order, so cylinder 8 comes after cylinders 2 to 7.
  void SectorContent(int cylinder, int sector, Sector out);

 private:
  InputBytes inputs_;
  int32_t window_offset_;
  CaptureAreas capture_;
};

using Image = std::span<uint8_t, d88::kImageBytes>;

// Composes the whole image from the inputs' bytes: the header, then every
// sector record in image order, its content as the layout decides.
void ComposeImage(InputBytes inputs, int32_t window_offset, Image image);

}  // namespace composer
