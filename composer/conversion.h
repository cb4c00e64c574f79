// The memory-image conversion. Cylinders 2 to 7 hold a 24 KB memory image for
// addresses 0x8000 to 0xDFFF, made byte by byte from the source image input:
// each source byte is copied, replaced by a patch byte, or passed through the
// cell transpose, and the last 1 KB is blank.
//
// The source image comes in versions, and one stretch of it, the shift window,
// lies at different addresses in each. The window offset re-aligns that
// stretch with the fixed keys: a byte's patch key is its address, plus the
// window offset inside the shift window. Keys are 32-bit values that wrap; a
// key that meets no table has its byte copied.
//
// While copying, the conversion captures two stretches by key, which
// cylinder 8 writes again.
#pragma once

#include <cstdint>

#include "composer/layout.h"

namespace composer {

inline constexpr uint32_t kShiftWindowFirst = 0x902B;
inline constexpr uint32_t kShiftWindowLast = 0xBFFF;

struct KeyRange {
  uint32_t first, last;  // inclusive
};

// Keys whose bytes go through the cell transpose: three ranges, and ten
// 6-byte records from 0xA3A0 whose bytes 0 and 1 are transposed (the other
// four of each record are patch keys).
inline constexpr KeyRange kTransposeRanges[] = {
    {0xD000, 0xD5FF},
    {0x8C22, 0x8C4C},
    {0x8E34, 0x8E3B},
};
inline constexpr uint32_t kTransposeRecordsFirst = 0xA3A0;
inline constexpr uint32_t kTransposeRecordStride = 6;
inline constexpr uint32_t kTransposeRecords = 10;

// The window offsets with which every key of the patch table is met exactly
// once. Outside them the shifted window meets some keys twice and others not
// at all: the run is as well defined as any, but the offset is almost
// certainly wrong for the source image at hand.
struct OffsetRange {
  int32_t first, last;  // inclusive
};
OffsetRange ExactWindowOffsets();

// Fills the sector of the memory image whose first byte has image address
// `first_address`, from the source image's bytes for those addresses, and
// stores the captured ones into `capture`.
void ConvertSector(SourceImage source, int32_t window_offset, uint32_t first_address,
                   CaptureAreas& capture, Sector out);

}  // namespace composer
