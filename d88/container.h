// The D88 container: a 688-byte image header ending in the track table, then
// the tracks in order, each a run of sector records (16-byte sector header
// followed by the sector's data).
//
// Image header:
//   0x00-0x10  disk name, ASCII, zero-padded
//   0x11-0x19  reserved
//   0x1A       write protect (0x00: not protected)
//   0x1B       media type (0x10: 2DD)
//   0x1C-0x1F  image size in bytes, little-endian
//   0x20-0x2AF track table: 164 little-endian offsets, index cylinder * 2 + head
//
// Sector header:
//   0 C, 1 H, 2 R, 3 N, 4-5 sectors in this track, 6 density, 7 deleted mark,
//   8 status, 9-13 reserved, 14-15 data size
//
// The header is written before the first sector and never revisited, so every
// field it carries is a constant of the fixed geometry.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

#include "d88/geometry.h"

namespace d88 {

inline constexpr char kDiskName[] = "ZEMRA8p6";
inline constexpr int kDiskNameField = 17;
inline constexpr uint8_t kMedia2DD = 0x10;
inline constexpr uint8_t kDoubleDensity = 0x00;

// Fills the 688-byte image header.
void FillImageHeader(std::span<uint8_t, kImageHeaderBytes> out);

// Little-endian fields, byte by byte whatever the host's order.
inline void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// Fills the 16-byte header of sector number `sector` (1 to 16) on `cylinder`.
// Inline, and made in a local array first: it runs for every sector, and so
// its constant fields merge into a few wide stores.
inline void FillSectorHeader(std::span<uint8_t, kSectorHeaderBytes> out, int cylinder, int sector) {
  uint8_t s[kSectorHeaderBytes];
  s[0] = static_cast<uint8_t>(cylinder);  // C
  s[1] = 0;                               // H: side 0
  s[2] = static_cast<uint8_t>(sector);    // R
  s[3] = kSizeCode;                       // N
  PutLe16(s + 4, kSectorsPerTrack);       // sectors in this track
  s[6] = kDoubleDensity;                  // density
  s[7] = 0x00;                            // not deleted data
  s[8] = 0x00;                            // status: no error
  std::fill(s + 9, s + 14, uint8_t{0});   // reserved
  PutLe16(s + 14, kSectorBytes);          // data size
  std::copy(std::begin(s), std::end(s), out.begin());
}

// Gives every sector record of a track, laid out as FillSectorHeader left it,
// the cylinder number `cylinder`; nothing else in the track changes. Two
// tracks with the same sectors and contents differ only there.
inline void RenumberTrack(std::span<uint8_t, kTrackBytes> track, int cylinder) {
  for (int r = 0; r < kSectorsPerTrack; ++r)
    track[static_cast<std::size_t>(r * kSectorRecordBytes)] = static_cast<uint8_t>(cylinder);  // C
}

}  // namespace d88
