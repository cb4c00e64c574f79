#include "composer/conversion.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
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

// The value of the upper-case hex digit `c`; any other character stops the build.
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
struct KeyTable {
  std::array<KeyRun, std::size(kTransposeRanges) + kTransposeRecords + std::size(kPatchRows) + 2>
      runs{};
  std::size_t run_count = 0;  // runs filled so far, while the table is made
  std::array<uint8_t, kPatchKeys> bytes{};
  int byte_count = 0;  // patch bytes filled so far, while the table is made
  uint32_t word_low_key = 0;
  uint32_t word_high_key = 0;
};

// Appends `run` to the runs; past the last run the array holds, the build stops.
constexpr void AddRun(KeyTable& t, const KeyRun& run) {
  t.runs[t.run_count] = run;
  ++t.run_count;
}

// The three transpose ranges, one run each.
constexpr void AddTransposeRanges(KeyTable& t) {
  for (const KeyRange& r : kTransposeRanges) AddRun(t, {r.first, r.last, Action::kTranspose, 0});
}

// The ten transpose records: their bytes 0 and 1, one run a record.
constexpr void AddTransposeRecords(KeyTable& t) {
  for (uint32_t j = 0; j < kTransposeRecords; ++j) {
    const uint32_t key = kTransposeRecordsFirst + kTransposeRecordStride * j;
    AddRun(t, {key, key + 1, Action::kTranspose, 0});
  }
}

// One row of the patch table: a run of its keys, each token read into the
// next patch byte, or noted as the relocated word's low or high key. A token
// that is neither two hex digits nor a word marker, a byte past kPatchKeys,
// and a row that straddles the start of the shift window stop the build.
// Returns how many of the row's keys lie below the shift window.
constexpr int AddPatchRow(KeyTable& t, const PatchRow& row) {
  uint32_t key = row.first_key;
  const int first_byte = t.byte_count;
  int below_window = 0;
  for (std::string_view bytes = row.bytes; !bytes.empty(); ++key) {
    const std::string_view token = bytes.substr(0, bytes.find(' '));
    bytes.remove_prefix(std::min(bytes.size(), token.size() + 1));
    if (token == kWordLowToken) {
      t.word_low_key = key;
    } else if (token == kWordHighToken) {
      t.word_high_key = key;
    } else if (token.size() == 2 && t.byte_count < kPatchKeys) {
      t.bytes[t.byte_count] = static_cast<uint8_t>(HexDigit(token[0]) * 16 + HexDigit(token[1]));
    } else {
      BadTable();
    }
    ++t.byte_count;
    if (key < kShiftWindow.first) ++below_window;
  }
  if (row.first_key < kShiftWindow.first && key > kShiftWindow.first) BadTable();  // straddles
  AddRun(t, {row.first_key, key - 1, Action::kPatch, first_byte});
  return below_window;
}

// Every row of the patch table; the build stops unless the keys, in all and
// below the shift window, are as many as the table says.
constexpr void AddPatchRows(KeyTable& t) {
  int below_window = 0;
  for (const PatchRow& row : kPatchRows) below_window += AddPatchRow(t, row);
  if (t.byte_count != kPatchKeys || below_window != kPatchKeysBelowWindow) BadTable();
}

// The two capture ranges, one run each.
constexpr void AddCaptureRanges(KeyTable& t) {
  AddRun(t, {kCaptureA.first, kCaptureA.last, Action::kCaptureA, 0});
  AddRun(t, {kCaptureB.first, kCaptureB.last, Action::kCaptureB, 0});
}

// Sorts the runs by their first key. The build stops unless every run is
// filled and no key lies in two runs, that is, in two of the key sets.
constexpr void SortAndProveDisjoint(KeyTable& t) {
  if (t.run_count != t.runs.size()) BadTable();
  std::sort(t.runs.begin(), t.runs.end(),
            [](const KeyRun& a, const KeyRun& b) { return a.first < b.first; });
  for (std::size_t i = 1; i < t.runs.size(); ++i)
    if (t.runs[i].first <= t.runs[i - 1].last) BadTable();  // a key in two sets
}

// The key table, made when the tool is compiled: the transpose keys, the
// patch table's rows checked and read, the capture ranges, then all of them
// sorted and proved disjoint. A fault in the tables stops the build.
constexpr KeyTable MakeKeyTable() {
  KeyTable t;
  AddTransposeRanges(t);
  AddTransposeRecords(t);
  AddPatchRows(t);
  AddCaptureRanges(t);
  SortAndProveDisjoint(t);
  return t;
}

constexpr KeyTable kKeys = MakeKeyTable();
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

// How many keys from `key` on meet the same rule: up to the end of `run` when
// `key` lies in it, else up to its first key; every key when there is no
// run left (`run` is the end of the runs).
uint32_t KeysAlike(uint32_t key, const KeyRun* run) {
  if (run == kKeys.runs.end()) return UINT32_MAX;
  if (key < run->first) return run->first - key;
  return run->last - key + 1;
}

// Writes `n` bytes to `out` from as many source bytes at `src`, by the rule
// of run `r` for the keys from `at` keys into it: transposed, patched (with
// the relocated word `word` at its keys), or copied and captured.
void ApplyRun(const KeyRun& r, uint32_t at, const uint8_t* src, uint8_t* out, uint32_t n,
              uint16_t word, MemoryImage& m) {
  const uint32_t key = r.first + at;
  switch (r.action) {
    case Action::kTranspose:
      for (uint32_t i = 0; i < n; ++i) out[i] = kTransposeTable[src[i]];
      break;
    case Action::kPatch:
      std::memcpy(out, kKeys.bytes.data() + r.patch_at + at, n);
      if (kKeys.word_low_key - key < n) out[kKeys.word_low_key - key] = word & 0xFF;
      if (kKeys.word_high_key - key < n) out[kKeys.word_high_key - key] = word >> 8;
      break;
    case Action::kCaptureA:
      std::memcpy(out, src, n);
      std::memcpy(m.capture_a + at, src, n);
      break;
    case Action::kCaptureB:
      std::memcpy(out, src, n);
      std::memcpy(m.capture_b + at, src, n);
      break;
  }
}

// Converts `n` source bytes whose patch keys rise one per byte from `key`,
// every one consumed, patched or not, in stretches of keys that meet the
// same rule. Keys that pass 2^32 within the shift window run from the top of
// the key space to its bottom, meeting no run.
void ConvertStretch(const uint8_t* src, uint8_t* out, uint32_t n, uint32_t key, uint16_t word,
                    MemoryImage& m) {
  const KeyRun* run = std::lower_bound(kKeys.runs.begin(), kKeys.runs.end(), key,
                                       [](const KeyRun& r, uint32_t k) { return r.last < k; });
  while (n > 0) {
    const uint32_t len = std::min(n, KeysAlike(key, run));
    if (run != kKeys.runs.end() && key >= run->first) {
      ApplyRun(*run, key - run->first, src, out, len, word, m);
      ++run;  // passed, or the stretch ends inside it
    } else {
      std::memcpy(out, src, len);  // no run here: copied
    }
    src += len;
    out += len;
    key += len;
    n -= len;
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
