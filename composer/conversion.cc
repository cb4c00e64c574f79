#include "composer/conversion.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <string_view>

#include "composer/patch_table.h"

namespace composer {
namespace {

// Keys 0x8DEE and 0x8DEF carry this minus the window offset: where the code at key 0x9577 lands.
constexpr uint32_t kRelocatedWordBase = 0x9577;

// Not constexpr: reaching it while a table below is built stops the build.
void BadTable() {}

constexpr int HexDigit(char c) {
  if ((c < '0' || c > '9') && (c < 'A' || c > 'F')) BadTable();
  return c <= '9' ? c - '0' : c - 'A' + 10;
}

// What a run of consecutive keys does to its source bytes. Keys in no run
// are copied.
enum class Action : uint8_t { kTranspose, kPatch, kCaptureA, kCaptureB };
struct KeyRun {
  uint32_t first, last;  // inclusive
  Action action;
  int patch_at;  // kPatch: where the run's first byte lies in KeyTable::bytes
};

// Every key that meets a table, as runs in ascending order, with the patch
// table's bytes in key order (the relocated word's two keys hold 0 there).
// Building it checks the rows and proves the key sets disjoint.
struct KeyTable {
  std::array<KeyRun, std::size(kTransposeRanges) + kTransposeRecords + std::size(kPatchRows) + 2>
      runs{};
  std::array<uint8_t, kPatchKeys> bytes{};
  uint32_t word_low_key = 0, word_high_key = 0;
};

constexpr KeyTable kKeys = [] {
  KeyTable t;
  std::size_t n = 0;
  for (const KeyRange& r : kTransposeRanges) t.runs[n++] = {r.first, r.last, Action::kTranspose, 0};
  for (uint32_t j = 0; j < kTransposeRecords; ++j) {
    const uint32_t key = kTransposeRecordsFirst + kTransposeRecordStride * j;
    t.runs[n++] = {key, key + 1, Action::kTranspose, 0};
  }
  int at = 0, below_window = 0;
  for (const PatchRow& row : kPatchRows) {
    uint32_t key = row.first_key;
    t.runs[n] = {key, 0, Action::kPatch, at};
    for (std::string_view bytes = row.bytes; !bytes.empty(); ++key, ++at) {
      const std::string_view token = bytes.substr(0, bytes.find(' '));
      bytes.remove_prefix(std::min(bytes.size(), token.size() + 1));
      if (token == kWordLowToken) {
        t.word_low_key = key;
      } else if (token == kWordHighToken) {
        t.word_high_key = key;
      } else if (token.size() == 2 && at < kPatchKeys) {
        t.bytes[at] = static_cast<uint8_t>(HexDigit(token[0]) * 16 + HexDigit(token[1]));
      } else {
        BadTable();
      }
      below_window += key < kShiftWindow.first;
    }
    t.runs[n++].last = key - 1;
    if (row.first_key < kShiftWindow.first && key > kShiftWindow.first) BadTable();  // straddles
  }
  if (at != kPatchKeys || below_window != kPatchKeysBelowWindow) BadTable();
  t.runs[n++] = {kCaptureA.first, kCaptureA.last, Action::kCaptureA, 0};
  t.runs[n++] = {kCaptureB.first, kCaptureB.last, Action::kCaptureB, 0};
  std::sort(t.runs.begin(), t.runs.end(),
            [](const KeyRun& a, const KeyRun& b) { return a.first < b.first; });
  for (std::size_t i = 1; i < n; ++i)
    if (t.runs[i].first <= t.runs[i - 1].last) BadTable();  // a key in two sets
  return t;
}();
static_assert(kKeys.word_low_key == 0x8DEE && kKeys.word_high_key == 0x8DEF);
// Shifted keys that wrap past 2^32 run on from 0, and stop before the lowest key of any set.
static_assert(kShiftWindow.last - kShiftWindow.first < kKeys.runs[0].first);

// The cell transpose reads a byte as two columns of four bits (bits 0-3 and
// bits 4-7, top to bottom) and writes the four rows in turn from the most
// significant end, each row as first-column bit then second-column bit.
constexpr int kTransposeSource[8] = {7, 3, 6, 2, 5, 1, 4, 0};  // input bit for output bit 0..7

constexpr std::array<uint8_t, 256> kTransposeTable = [] {
  std::array<uint8_t, 256> table{};
  for (unsigned in = 0; in < 256; ++in)
    for (int bit = 0; bit < 8; ++bit)
      table[in] = static_cast<uint8_t>(table[in] | ((in >> kTransposeSource[bit]) & 1u) << bit);
  return table;
}();

// Converts `n` source bytes whose patch keys rise one per byte from `key`,
// every one consumed, patched or not. Keys that pass 2^32 within the shift
// window run from the top of the key space to its bottom, meeting no run.
void ConvertStretch(const uint8_t* src, uint8_t* out, uint32_t n, uint32_t key, uint16_t word,
                    MemoryImage& m) {
  const KeyRun* run = std::lower_bound(kKeys.runs.begin(), kKeys.runs.end(), key,
                                       [](const KeyRun& r, uint32_t k) { return r.last < k; });
  for (uint32_t len; n > 0; src += len, out += len, key += len, n -= len) {
    if (run == kKeys.runs.end() || key < run->first) {  // copied up to the next run
      len = run == kKeys.runs.end() ? n : std::min(n, run->first - key);
      std::memcpy(out, src, len);
      continue;
    }
    const KeyRun& r = *run++;
    const uint32_t at = key - r.first;  // where in the run the stretch is
    len = std::min(n, r.last - key + 1);
    switch (r.action) {
      case Action::kTranspose:
        for (uint32_t i = 0; i < len; ++i) out[i] = kTransposeTable[src[i]];
        break;
      case Action::kPatch:
        std::memcpy(out, kKeys.bytes.data() + r.patch_at + at, len);
        if (kKeys.word_low_key - key < len) out[kKeys.word_low_key - key] = word & 0xFF;
        if (kKeys.word_high_key - key < len) out[kKeys.word_high_key - key] = word >> 8;
        break;
      case Action::kCaptureA:
      case Action::kCaptureB:
        std::memcpy(out, src, len);
        std::memcpy((r.action == Action::kCaptureA ? m.capture_a : m.capture_b) + at, src, len);
        break;
    }
  }
}

}  // namespace

void ConvertMemoryImage(SourceImage source, int32_t window_offset, MemoryImage& out) {
  std::memset(out.capture_a, 0, sizeof out.capture_a);
  std::memset(out.capture_b, 0, sizeof out.capture_b);
  const auto d = static_cast<uint32_t>(window_offset);
  const auto word = static_cast<uint16_t>(kRelocatedWordBase - d);
  // Keys rise one per address within each stretch: below the shift window,
  // inside it (shifted by the window offset), and above it to the blank tail.
  constexpr uint32_t kStretchEnds[] = {kShiftWindow.first, kShiftWindow.last + 1, kBlankTail};
  for (uint32_t a = kImageFirst; const uint32_t end : kStretchEnds) {
    const uint32_t key = a == kShiftWindow.first ? a + d : a;  // wraps
    ConvertStretch(source.data() + (a - kImageFirst), out.image + (a - kImageFirst), end - a, key,
                   word, out);
    a = end;
  }
  std::memset(out.image + (kBlankTail - kImageFirst), 0, kImageEnd - kBlankTail);
}

}  // namespace composer
