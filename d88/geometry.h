// Geometry of the one disk this tool writes: a single-sided 2DD floppy in the
// D88 container. Every size and offset of the container follows from these.
#pragma once

#include <cstdint>

namespace d88 {

inline constexpr int kCylinders = 80;
inline constexpr int kHeads = 1;  // side 0 only
inline constexpr int kSectorsPerTrack = 16;
inline constexpr int kFirstSector = 1;  // sector numbers (R) run 1 to 16
inline constexpr int kSectorBytes = 256;
inline constexpr uint8_t kSizeCode = 1;  // N: 128 << N data bytes
static_assert((128 << kSizeCode) == kSectorBytes);

inline constexpr int kTrackDataBytes = kSectorsPerTrack * kSectorBytes;

inline constexpr int kSectorHeaderBytes = 16;
inline constexpr int kSectorRecordBytes = kSectorHeaderBytes + kSectorBytes;
inline constexpr int kTrackBytes = kSectorsPerTrack * kSectorRecordBytes;
static_assert(kTrackBytes == 0x1100);

// The track table has room for 164 tracks (82 cylinders on two sides); this
// image fills only the side-0 entries of its 80 cylinders.
inline constexpr int kTrackTableEntries = 164;
inline constexpr int kTrackTableOffset = 0x20;
inline constexpr int kImageHeaderBytes = kTrackTableOffset + 4 * kTrackTableEntries;
static_assert(kImageHeaderBytes == 0x2B0);

inline constexpr long kImageBytes = kImageHeaderBytes + long{kCylinders} * kTrackBytes;
static_assert(kImageBytes == 348'848);

inline constexpr int kSectorsPerImage = kCylinders * kSectorsPerTrack;

// Offset from the start of the image of cylinder c's track.
constexpr uint32_t TrackOffset(int cylinder) {
  return static_cast<uint32_t>(kImageHeaderBytes + cylinder * kTrackBytes);
}

}  // namespace d88
