#include "composer/conversion.h"

#include <algorithm>
#include <array>

namespace composer {
namespace {

using KeyTable = std::array<KeyEntry, kKeyTableSize>;

// Sets `entry` unless another set has claimed it; the key sets are disjoint
// and the table is built at compile time, so a clash stops the build.
constexpr void Claim(KeyTable& table, uint32_t key, KeyEntry entry) {
  KeyEntry& slot = table[key - kKeyTableFirst];
  if (slot.action != KeyAction::kCopy) throw "a key belongs to two sets";
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

}  // namespace

uint32_t ImageAddress(int cylinder, int sector, int position) {
  const int track = (cylinder - kImageFirstCylinder) * d88::kSectorsPerTrack;
  return kImageFirst +
         static_cast<uint32_t>((track + sector - d88::kFirstSector) * d88::kSectorBytes + position);
}

int32_t PatchKey(uint32_t address, int32_t window_offset) {
  if (address < kShiftWindowFirst || address > kShiftWindowLast)
    return static_cast<int32_t>(address);
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

void ConvertSector(builder::InputStream& source, int32_t window_offset, int cylinder, int sector,
                   CaptureAreas& capture, Sector out) {
  const uint32_t first = ImageAddress(cylinder, sector, 0);
  if (first >= kBlankTail) {  // the tail starts on a sector boundary
    std::fill(out.begin(), out.end(), uint8_t{0});
    return;
  }
  const uint16_t word = RelocatedWord(window_offset);
  for (int p = 0; p < d88::kSectorBytes; ++p) {
    const int32_t key = PatchKey(first + static_cast<uint32_t>(p), window_offset);
    const uint8_t b = source.Next();  // every source byte is taken, patched or not
    const KeyEntry e = LookUpKey(key);
    uint8_t& o = out[static_cast<size_t>(p)];
    switch (e.action) {
      case KeyAction::kCopy:
        o = b;
        break;
      case KeyAction::kTranspose:
        o = kTransposeTable[b];
        break;
      case KeyAction::kPatch:
        o = e.byte;
        break;
      case KeyAction::kPatchWordLow:
        o = static_cast<uint8_t>(word);
        break;
      case KeyAction::kPatchWordHigh:
        o = static_cast<uint8_t>(word >> 8);
        break;
      case KeyAction::kCaptureA:
        o = capture.a[static_cast<uint32_t>(key) - kCaptureARange.first] = b;
        break;
      case KeyAction::kCaptureB:
        o = capture.b[static_cast<uint32_t>(key) - kCaptureBRange.first] = b;
        break;
    }
  }
}

}  // namespace composer
