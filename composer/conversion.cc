#include "composer/conversion.h"

#include <algorithm>
#include <array>

namespace composer {
namespace {

using KeyTable = std::array<KeyEntry, kKeyTableSize>;

// Not constexpr: reaching it while the table is built at compile time stops
// the build.
void KeyBelongsToTwoSets() {}

// Sets `entry` unless another set has claimed it: the key sets are disjoint.
constexpr void Claim(KeyTable& table, uint32_t key, KeyEntry entry) {
  KeyEntry& slot = table[key - kKeyTableFirst];
  if (slot.action != KeyAction::kCopy) KeyBelongsToTwoSets();
  slot = entry;
}

constexpr KeyTable MakeKeyTable() {
  KeyTable table{};
  for (const KeyRange& r : kTransposeRanges)
    for (uint32_t k = r.first; k <= r.last; ++k) Claim(table, k, {KeyAction::kTranspose, 0});
  for (uint32_t j = 0; j < kTransposeRecords; ++j) {
    const uint32_t k = kTransposeRecordsFirst + kTransposeRecordStride * j;
    Claim(table, k, {KeyAction::kTranspose, 0});
    Claim(table, k + 1, {KeyAction::kTranspose, 0});
  }
  for (const PatchRow& row : kPatchRows) {
    uint32_t k = row.first_key;
    ForEachToken(row.bytes, [&](std::string_view token) {
      const KeyEntry entry =
          token == kWordLowToken ? KeyEntry{KeyAction::kPatchWordLow, 0}
          : token == kWordHighToken
              ? KeyEntry{KeyAction::kPatchWordHigh, 0}
              : KeyEntry{KeyAction::kPatch, static_cast<uint8_t>(TokenByte(token))};
      Claim(table, k++, entry);
    });
  }
  for (uint32_t k = kCaptureARange.first; k <= kCaptureARange.last; ++k)
    Claim(table, k, {KeyAction::kCaptureA, 0});
  for (uint32_t k = kCaptureBRange.first; k <= kCaptureBRange.last; ++k)
    Claim(table, k, {KeyAction::kCaptureB, 0});
  return table;
}

constexpr KeyTable kKeyTable = MakeKeyTable();

// The cell transpose reads a byte as two columns of four bits (bits 0-3 and
// bits 4-7, top to bottom) and writes the four rows in turn from the most
// significant end, each row as first-column bit then second-column bit.
constexpr int kTransposeSource[8] = {7, 3, 6, 2, 5, 1, 4, 0};  // input bit for output bit 0..7

constexpr std::array<uint8_t, 256> MakeTransposeTable() {
  std::array<uint8_t, 256> table{};
  for (unsigned in = 0; in < 256; ++in) {
    unsigned out = 0;
    for (int bit = 0; bit < 8; ++bit) out |= ((in >> kTransposeSource[bit]) & 1u) << bit;
    table[in] = static_cast<uint8_t>(out);
  }
  return table;
}

constexpr std::array<uint8_t, 256> kTransposeTable = MakeTransposeTable();

bool InShiftWindow(uint32_t address) {
  return address >= kShiftWindowFirst && address <= kShiftWindowLast;
}

// Image address of the first byte of a sector of cylinders 2 to 7.
uint32_t SectorAddress(int cylinder, int sector) {
  const int track = (cylinder - kImageFirstCylinder) * d88::kSectorsPerTrack;
  return kImageFirst +
         static_cast<uint32_t>((track + sector - d88::kFirstSector) * d88::kSectorBytes);
}

}  // namespace

int32_t PatchKey(uint32_t address, int32_t window_offset) {
  if (!InShiftWindow(address)) return static_cast<int32_t>(address);
  return static_cast<int32_t>(address + static_cast<uint32_t>(window_offset));  // wraps mod 2^32
}

KeyEntry LookUpKey(int32_t key) {
  const uint32_t index = static_cast<uint32_t>(key) - kKeyTableFirst;
  return index < kKeyTableSize ? kKeyTable[index] : KeyEntry{};
}

uint16_t RelocatedWord(int32_t window_offset) {
  return static_cast<uint16_t>(kRelocatedWordBase - static_cast<uint32_t>(window_offset));
}

uint8_t CellTranspose(uint8_t byte) { return kTransposeTable[byte]; }

namespace {

// Converts the next `count` source bytes, whose patch keys run upward from
// `first_key` (wrapping modulo 2^32). Every source byte is taken, patched or
// not.
void ConvertRun(builder::InputStream& source, uint8_t* out, uint32_t first_key, int count,
                uint16_t word, CaptureAreas& capture) {
  for (int i = 0; i < count; ++i) {
    const uint32_t key = first_key + static_cast<uint32_t>(i);
    const uint32_t index = key - kKeyTableFirst;
    const uint8_t b = source.Next();
    if (index >= kKeyTableSize) {  // meets no key set
      out[i] = b;
      continue;
    }
    const KeyEntry e = kKeyTable[index];
    switch (e.action) {
      case KeyAction::kCopy:
        out[i] = b;
        break;
      case KeyAction::kTranspose:
        out[i] = kTransposeTable[b];
        break;
      case KeyAction::kPatch:
        out[i] = e.byte;
        break;
      case KeyAction::kPatchWordLow:
        out[i] = static_cast<uint8_t>(word);
        break;
      case KeyAction::kPatchWordHigh:
        out[i] = static_cast<uint8_t>(word >> 8);
        break;
      case KeyAction::kCaptureA:
        out[i] = capture.a[key - kCaptureARange.first] = b;
        break;
      case KeyAction::kCaptureB:
        out[i] = capture.b[key - kCaptureBRange.first] = b;
        break;
    }
  }
}

}  // namespace

void ConvertSector(builder::InputStream& source, int32_t window_offset, int cylinder, int sector,
                   CaptureAreas& capture, Sector out) {
  const uint32_t first = SectorAddress(cylinder, sector);
  if (first >= kBlankTail) {  // the tail starts on a sector boundary; no source byte is taken
    std::fill(out.begin(), out.end(), uint8_t{0});
    return;
  }
  const uint16_t word = RelocatedWord(window_offset);
  // Keys rise one per byte except where the sector crosses an edge of the
  // shift window; convert each stretch between edges with its own first key.
  int p = 0;
  while (p < d88::kSectorBytes) {
    const uint32_t a = first + static_cast<uint32_t>(p);
    const uint32_t edge = InShiftWindow(a)        ? kShiftWindowLast + 1
                          : a < kShiftWindowFirst ? kShiftWindowFirst
                                                  : UINT32_MAX;
    const int end = static_cast<int>(std::min<uint32_t>(d88::kSectorBytes, edge - first));
    ConvertRun(source, out.data() + p, static_cast<uint32_t>(PatchKey(a, window_offset)), end - p,
               word, capture);
    p = end;
  }
}

}  // namespace composer
