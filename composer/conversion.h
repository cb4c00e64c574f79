// The memory-image conversion. Cylinders 2 to 7 hold a 24 KB memory image for
// addresses 0x8000 to 0xDFFF, made byte by byte from the source image input:
// each source byte is copied, replaced by a patch byte, or passed through the
// cell transpose, and the last 1 KB is blank.
//
// The source image comes in versions, and one stretch of it, the shift window,
// lies at different addresses in each. The window offset re-aligns that
// stretch with the fixed keys: a byte's patch key is its address, plus the
// window offset inside the shift window. Keys are signed 32-bit values that
// wrap; a key outside 0x8000 to 0xFFFF meets nothing and its byte is copied.
//
// While copying, the conversion captures two stretches by key, which
// cylinder 8 writes again.
//
// Keys that meet the same set lie in long stretches, so a sector is converted
// a stretch at a time: copied, patched from its row of the patch table, or
// copied and captured, each as one block; only transposed keys go byte by
// byte.
#pragma once

#include <array>
#include <cstdint>

#include "composer/composer.h"
#include "composer/layout.h"
#include "composer/patch_table.h"

namespace composer {

// Keys 0x8DEE and 0x8DEF carry this word minus the window offset: the
// address, once re-aligned, at which the code at key 0x9577 lands.
inline constexpr uint32_t kRelocatedWordBase = 0x9577;

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

inline constexpr KeyRange kCaptureARange = {0xC200, 0xCFFF};
inline constexpr KeyRange kCaptureBRange = {0xAAE8, 0xAB41};
static_assert(kCaptureARange.last - kCaptureARange.first + 1 == CaptureAreas::kABytes);
static_assert(kCaptureBRange.last - kCaptureBRange.first + 1 == CaptureAreas::kBBytes);

// What the conversion does with a source byte, by its patch key.
enum class KeyAction : uint8_t {
  kCopy,
  kTranspose,
  kPatch,          // write the entry's byte
  kPatchWordLow,   // write the relocated word's low byte
  kPatchWordHigh,  // ... its high byte
  kCaptureA,       // copy, and store into capture area A
  kCaptureB,       // copy, and store into capture area B
};

struct KeyEntry {
  KeyAction action = KeyAction::kCopy;
  uint8_t byte = 0;
};

// Every key that meets anything lies in 0x8000 to 0xFFFF. One entry per key
// there is built at compile time, which also proves the key sets disjoint;
// the conversion works from the stretches of equal entries.
inline constexpr uint32_t kKeyTableFirst = 0x8000;
inline constexpr uint32_t kKeyTableSize = 0x8000;

// Fills the sector of the converted image whose first byte has image address
// `first_address`, from the source image's bytes for those addresses, and
// stores the captured ones into `capture`.
void ConvertSector(SourceImage source, int32_t window_offset, uint32_t first_address,
                   CaptureAreas& capture, Sector out);

// The steps of the conversion, for those who check it.
int32_t PatchKey(uint32_t address, int32_t window_offset);
KeyEntry LookUpKey(int32_t key);
uint16_t RelocatedWord(int32_t window_offset);
uint8_t CellTranspose(uint8_t byte);

}  // namespace composer
