#include "composer/conversion.h"

#include <algorithm>
#include <array>
#include <cstring>

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

// The key table as stretches of consecutive keys with the same entry; each
// stretch ends where the next begins, the last at the end of the table.
struct KeySegment {
  uint32_t first;  // index in the key table of its first key
  KeyAction action;
  uint16_t patch_at;  // kPatch: where its first key's byte lies in kPatchBytes
};

constexpr int CountSegments() {
  int n = 1;
  for (uint32_t i = 1; i < kKeyTableSize; ++i) n += kKeyTable[i].action != kKeyTable[i - 1].action;
  return n;
}
constexpr int kSegmentCount = CountSegments();

constexpr int CountPatchBytes() {
  int n = 0;
  for (const KeyEntry& e : kKeyTable) n += e.action == KeyAction::kPatch;
  return n;
}

// The patch table's constant bytes in key order.
constexpr std::array<uint8_t, CountPatchBytes()> MakePatchBytes() {
  std::array<uint8_t, CountPatchBytes()> bytes{};
  size_t n = 0;
  for (const KeyEntry& e : kKeyTable)
    if (e.action == KeyAction::kPatch) bytes[n++] = e.byte;
  return bytes;
}
constexpr auto kPatchBytes = MakePatchBytes();
static_assert(kPatchBytes.size() == 465 - 2);  // all keys but the relocated word's two

// Followed by an end marker at the end of the table.
constexpr std::array<KeySegment, kSegmentCount + 1> MakeSegments() {
  std::array<KeySegment, kSegmentCount + 1> segments{};
  int s = 0;
  uint16_t patch_at = 0;
  for (uint32_t i = 0; i < kKeyTableSize; ++i) {
    const KeyAction action = kKeyTable[i].action;
    if (i == 0 || action != kKeyTable[i - 1].action) segments[s++] = {i, action, patch_at};
    if (action == KeyAction::kPatch) ++patch_at;
  }
  segments[s] = {kKeyTableSize, KeyAction::kCopy, patch_at};
  return segments;
}
constexpr auto kSegments = MakeSegments();

// The segment that holds key table index `index`.
const KeySegment* SegmentOf(uint32_t index) {
  return std::upper_bound(kSegments.begin(), kSegments.end() - 1, index,
                          [](uint32_t i, const KeySegment& s) { return i < s.first; }) -
         1;
}

bool InShiftWindow(uint32_t address) {
  return address >= kShiftWindowFirst && address <= kShiftWindowLast;
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

// Converts the `n` source bytes at `src` into `out`; their patch keys run
// upward from `key`, wrapping modulo 2^32. Every source byte is consumed,
// patched or not, so the bytes keep their places.
void ConvertStretch(const uint8_t* src, uint8_t* out, uint32_t n, uint32_t key, uint16_t word,
                    CaptureAreas& capture) {
  const KeySegment* s = nullptr;  // the segment of `key` while it lies in the table
  while (n > 0) {
    const uint32_t index = key - kKeyTableFirst;
    uint32_t run;
    if (index >= kKeyTableSize) {
      // Outside the table keys meet nothing until they wrap round into it.
      run = std::min(n, 0u - index);
      std::memcpy(out, src, run);
      s = nullptr;
    } else {
      if (s == nullptr) s = SegmentOf(index);
      run = std::min(n, s[1].first - index);
      const uint32_t at = index - s->first;
      switch (s->action) {
        case KeyAction::kCopy:
          std::memcpy(out, src, run);
          break;
        case KeyAction::kTranspose:
          for (uint32_t i = 0; i < run; ++i) out[i] = kTransposeTable[src[i]];
          break;
        case KeyAction::kPatch:
          std::memcpy(out, kPatchBytes.data() + s->patch_at + at, run);
          break;
        case KeyAction::kPatchWordLow:
          std::memset(out, static_cast<uint8_t>(word), run);
          break;
        case KeyAction::kPatchWordHigh:
          std::memset(out, static_cast<uint8_t>(word >> 8), run);
          break;
        case KeyAction::kCaptureA:
          std::memcpy(out, src, run);
          std::memcpy(capture.a + (index + kKeyTableFirst - kCaptureARange.first), src, run);
          break;
        case KeyAction::kCaptureB:
          std::memcpy(out, src, run);
          std::memcpy(capture.b + (index + kKeyTableFirst - kCaptureBRange.first), src, run);
          break;
      }
      ++s;  // the next stretch, should this one have ended
    }
    src += run;
    out += run;
    key += run;
    n -= run;
  }
}

}  // namespace

void ConvertSector(SourceImage source, int32_t window_offset, uint32_t first_address,
                   CaptureAreas& capture, Sector out) {
  if (first_address >= kBlankTail) {  // the tail starts on a sector boundary; nothing is taken
    std::fill(out.begin(), out.end(), uint8_t{0});
    return;
  }
  const uint16_t word = RelocatedWord(window_offset);
  const uint8_t* src = source.data() + (first_address - kImageFirst);
  // Keys rise one per byte except where the sector crosses an edge of the
  // shift window; convert each stretch between edges with its own first key.
  uint32_t p = 0;
  while (p < d88::kSectorBytes) {
    const uint32_t a = first_address + p;
    const uint32_t edge = InShiftWindow(a)        ? kShiftWindowLast + 1
                          : a < kShiftWindowFirst ? kShiftWindowFirst
                                                  : UINT32_MAX;
    const uint32_t end = std::min<uint32_t>(d88::kSectorBytes, edge - first_address);
    ConvertStretch(src + p, out.data() + p, end - p,
                   static_cast<uint32_t>(PatchKey(a, window_offset)), word, capture);
    p = end;
  }
}

}  // namespace composer
