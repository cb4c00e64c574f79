// The memory-image conversion: the memory image for addresses 0x8000 to
// 0xDFFF, made in one call from the source image's bytes, each copied,
// replaced by a patch byte or passed through the cell transpose, the last
// 1 KB blank; and two stretches of the copied bytes captured for cylinder 8.
// One stretch of the source image, the shift window, lies at different
// addresses in each version: a byte's patch key is its address, plus the
// window offset inside the window. Keys are 32-bit values that wrap; a key
// that meets no table has its byte copied.
#pragma once

#include <cstdint>
#include <span>

namespace composer {

// Address a's source byte is a - kImageFirst; none is taken from the blank tail on.
inline constexpr uint32_t kImageFirst = 0x8000;
inline constexpr uint32_t kBlankTail = 0xDC00;
inline constexpr uint32_t kImageEnd = 0xE000;
inline constexpr int kSourceBytes = static_cast<int>(kBlankTail - kImageFirst);
using SourceImage = std::span<const uint8_t, kSourceBytes>;

struct KeyRange {
  uint32_t first, last;  // inclusive
  constexpr uint32_t size() const { return last - first + 1; }
};
inline constexpr KeyRange kShiftWindow = {0x902B, 0xBFFF};

// Keys whose bytes go through the cell transpose: three ranges, and bytes 0
// and 1 of ten 6-byte records from 0xA3A0 (the other four are patch keys).
inline constexpr KeyRange kTransposeRanges[] = {
    {0xD000, 0xD5FF},
    {0x8C22, 0x8C4C},
    {0x8E34, 0x8E3B},
};
inline constexpr uint32_t kTransposeRecordsFirst = 0xA3A0, kTransposeRecordStride = 6,
                          kTransposeRecords = 10;

// Keys whose copied bytes are captured as well, each at key - first.
inline constexpr KeyRange kCaptureA = {0xC200, 0xCFFF};
inline constexpr KeyRange kCaptureB = {0xAAE8, 0xAB41};

// What the conversion gives. A capture byte that no key reaches is 0x00.
struct MemoryImage {
  uint8_t image[kImageEnd - kImageFirst];  // image[a - kImageFirst]
  uint8_t capture_a[kCaptureA.size()];
  uint8_t capture_b[kCaptureB.size()];
};

// The window offsets with which every key of the patch table is met exactly
// once. Outside them some keys are met twice and others not at all: the run
// is as well defined as any, but the offset almost certainly wrong.
inline constexpr int32_t kExactOffsetsFirst = -124, kExactOffsetsLast = 532;

// Converts the whole memory image, addresses in ascending order, so that a
// later capture of the same index replaces an earlier one.
void ConvertMemoryImage(SourceImage source, int32_t window_offset, MemoryImage& out);

}  // namespace composer
