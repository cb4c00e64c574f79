// Geometry of the one disk this tool writes: a single-sided 2DD floppy in the
// D88 container. Every size and offset of the container follows from these.
#pragma once

#include <cstdint>

namespace d88 {

inline constexpr int kCylinders = 80;  // numbered 0 to 79
inline constexpr int kSide = 0;        // the only side written (H)
inline constexpr int kSectorsPerTrack = 16;
inline constexpr int kFirstSector = 1;  // sector numbers (R) run 1 to 16
inline constexpr int kSectorBytes = 256;
inline constexpr uint8_t kSizeCode = 1;  // N: 128 << N data bytes
static_assert((128 << kSizeCode) == kSectorBytes);
inline constexpr int kTrackDataBytes = kSectorsPerTrack * kSectorBytes;

// A track is its sector records back to back, each a sector header followed
// by the sector's data.
inline constexpr int kSectorHeaderBytes = 16;
inline constexpr int kSectorRecordBytes = kSectorHeaderBytes + kSectorBytes;
inline constexpr int kTrackBytes = kSectorsPerTrack * kSectorRecordBytes;
static_assert(kTrackBytes == 0x1100);

// The image header ends in the track table, which has an entry for every
// track of the largest disk the format describes: 82 cylinders on 2 sides.
// An entry gives the offset of its track in the image, or 0 for none.
inline constexpr int kTableCylinders = 82;
inline constexpr int kTableSides = 2;
inline constexpr int kTrackTableOffset = 0x20;
inline constexpr int kTrackEntryBytes = 4;
inline constexpr int kImageHeaderBytes =
    kTrackTableOffset + kTrackEntryBytes * kTableCylinders * kTableSides;
static_assert(kImageHeaderBytes == 0x2B0);

inline constexpr int kImageBytes = kImageHeaderBytes + kCylinders * kTrackBytes;
static_assert(kImageBytes == 348'848);

// Where a track's entry lies in the track table, counted in entries.
constexpr int TrackEntry(int cylinder, int side) { return cylinder * kTableSides + side; }

// Offset from the start of the image of cylinder c's track.
constexpr uint32_t TrackOffset(int cylinder) {
  return static_cast<uint32_t>(kImageHeaderBytes + cylinder * kTrackBytes);
}

}  // namespace d88
