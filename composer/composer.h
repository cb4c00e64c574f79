// What every sector of the disk holds, decided by cylinder and sector number.
// The sector loop asks for the sectors strictly in image order, and input
// bytes are taken at that same moment, which ties each input's file offsets to
// fixed places on the disk.
#pragma once

#include <cstdint>
#include <span>

#include "builder/streams.h"
#include "d88/geometry.h"

namespace composer {

// Where the disk's parts lie.
inline constexpr int kLoaderCylinder = 0;  // sector 1: loader 1; sectors 2 to 4: loader 2
inline constexpr int kLoader2LastSector = 4;
inline constexpr int kProgramCylinder = 1;
inline constexpr int kImageFirstCylinder = 2;  // the converted memory image
inline constexpr int kImageLastCylinder = 7;
inline constexpr int kCaptureCylinder = 8;    // block 0: re-emits the capture areas
inline constexpr int kDataFirstCylinder = 9;  // blocks 1 to 9: name table and data k
inline constexpr int kDataBlocks = 9;
inline constexpr int kDataLastCylinder = kDataFirstCylinder + kDataBlocks - 1;
inline constexpr int kTableSectors = 2;  // sectors 1 and 2 of a block; its data follows

// Bytes the run takes from each input: exactly what its sectors hold.
inline constexpr int kLoader1Bytes = 1 * d88::kSectorBytes;
inline constexpr int kLoader2Bytes = (kLoader2LastSector - 1) * d88::kSectorBytes;
inline constexpr int kProgramBytes = d88::kSectorsPerTrack * d88::kSectorBytes;
inline constexpr int kSourceBytes = 0xDC00 - 0x8000;  // memory image up to its blank tail
inline constexpr int kDataBytes = (d88::kSectorsPerTrack - kTableSectors) * d88::kSectorBytes;
static_assert(kLoader2Bytes == 768 && kDataBytes == 3584);

// The inputs, in the order the run opens them.
struct Sources {
  builder::InputStream* loader1;
  builder::InputStream* loader2;
  builder::InputStream* program;
  builder::InputStream* source;
  builder::InputStream* data[kDataBlocks];
};
inline constexpr int kInputCount = 4 + kDataBlocks;

// Names the members of an input set held in opening order.
inline Sources SourcesInOpeningOrder(std::span<builder::InputStream, kInputCount> in) {
  Sources s = {&in[0], &in[1], &in[2], &in[3], {}};
  for (int k = 0; k < kDataBlocks; ++k) s.data[k] = &in[static_cast<size_t>(4 + k)];
  return s;
}

using Sector = std::span<uint8_t, d88::kSectorBytes>;

// Two stretches of the source image that the conversion captures while
// writing cylinders 2 to 7, and that cylinder 8 writes again. A byte nothing
// stores stays 0x00.
struct CaptureAreas {
  static constexpr int kABytes = kDataBytes;  // fills block 0's data sectors
  static constexpr int kBBytes = 90;          // fills block 0's table
  uint8_t a[kABytes] = {};
  uint8_t b[kBBytes] = {};
};

class DiskComposer {
 public:
  DiskComposer(const Sources& sources, int32_t window_offset)
      : sources_(sources), window_offset_(window_offset) {}

  // Fills the data of sector number `sector` (1 to 16) of `cylinder`. Called
  // once per sector, in image order.
  void SectorContent(int cylinder, int sector, Sector out);

 private:
  Sources sources_;
  int32_t window_offset_;
  CaptureAreas capture_;
};

}  // namespace composer
