// The D88 container: a 688-byte image header ending in the track table, then
// the tracks in order, each a run of sector records (16-byte sector header
// followed by the sector's data). Multi-byte fields are little-endian.
//
// Image header:
//   0x00-0x10  disk name, ASCII, zero-padded
//   0x11-0x19  reserved
//   0x1A       write protect (0x00: not protected)
//   0x1B       media type (0x10: 2DD)
//   0x1C-0x1F  image size in bytes
//   0x20-0x2AF track table: 164 offsets, indexed cylinder * 2 + side
//
// Sector header:
//   0 C, 1 H, 2 R, 3 N, 4-5 sectors in this track, 6 density, 7 deleted mark,
//   8 status, 9-13 reserved, 14-15 data size
//
// The header comes before the first sector, so every field it carries is a
// constant of the fixed geometry.
#pragma once

#include <cstdint>
#include <span>

#include "d88/geometry.h"

namespace d88 {

inline constexpr char kDiskName[] = "ZEMRA8p6";

void FillImageHeader(std::span<uint8_t, kImageHeaderBytes> out);

// The header of sector number `sector` (1 to 16) on `cylinder`.
using SectorHeader = std::span<uint8_t, kSectorHeaderBytes>;
void FillSectorHeader(SectorHeader out, int cylinder, int sector);

}  // namespace d88
