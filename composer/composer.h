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

// Bytes the run takes from each input: exactly what its sectors hold.
inline constexpr int kLoader1Bytes = 1 * d88::kSectorBytes;
inline constexpr int kLoader2Bytes = 3 * d88::kSectorBytes;
inline constexpr int kProgramBytes = d88::kSectorsPerTrack * d88::kSectorBytes;
inline constexpr int kSourceBytes = 0xDC00 - 0x8000;  // memory image up to its blank tail
inline constexpr int kDataBytes = 14 * d88::kSectorBytes;
inline constexpr int kDataBlocks = 9;

// The inputs, in the order the run opens them.
struct Sources {
  builder::InputStream* loader1;
  builder::InputStream* loader2;
  builder::InputStream* program;
  builder::InputStream* source;
  builder::InputStream* data[kDataBlocks];
};

using Sector = std::span<uint8_t, d88::kSectorBytes>;

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
};

}  // namespace composer
