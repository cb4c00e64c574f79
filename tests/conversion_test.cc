// The memory-image conversion and its tables, checked against the worked
// examples of how the tool treats particular bytes and offsets, and against a
// plain model of its rules over thousands of window offsets.
#include "composer/conversion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "composer/composer.h"
#include "composer/patch_table.h"
#include "tests/d88_reader.h"
#include "tests/test_files.h"

namespace composer {
namespace {

using testing_support::Bytes;

// Cylinders 0 to 8 composed in process from in-memory inputs: the converted
// memory image (0x8000 to 0xDFFF) and cylinder 8 as it is written.
struct Composed {
  Bytes image;      // image[a - 0x8000]
  Bytes cylinder8;  // 16 sectors of 256 bytes
  uint8_t at(uint32_t address) const { return image[address - 0x8000]; }
};

Composed Compose(const Bytes& source, int32_t window_offset) {
  // Every input but the source image is empty, as is a source image's share
  // past its end: 0xFF.
  Bytes inputs(kInputBytes, 0xFF), image(d88::kImageBytes);
  std::copy_n(source.begin(), std::min<size_t>(source.size(), kSourceBytes),
              inputs.begin() + kInputAt[kSource]);
  ComposeImage(InputBytes(inputs.data(), kInputBytes), window_offset, Image(image));
  Composed result;
  for (int c = 2; c <= 8; ++c) {
    for (int r = 1; r <= 16; ++r) {
      const auto sector = testing_support::SectorData(image, c, r);
      Bytes& to = c == 8 ? result.cylinder8 : result.image;
      to.insert(to.end(), sector.begin(), sector.end());
    }
  }
  return result;
}

const Bytes kSource = testing_support::PatternFile(3, 23552);
uint8_t SourceAt(uint32_t address) { return kSource[address - 0x8000]; }

// The cell transpose from its bit table: output bit 7 down to 0 takes input
// bit 0, 4, 1, 5, 2, 6, 3, 7.
uint8_t CellTranspose(uint8_t in) {
  constexpr int kInputBit[8] = {0, 4, 1, 5, 2, 6, 3, 7};
  unsigned out = 0;
  for (int i = 0; i < 8; ++i) out |= ((in >> kInputBit[i]) & 1u) << (7 - i);
  return static_cast<uint8_t>(out);
}

// Sources whose every byte is the same, and differs between the two, so that
// comparing their images tells which rule wrote each byte: a patch byte is
// the same in both, a copied byte differs, and so does a transposed one.
const Bytes kOnes(23552, 0x01), kTwos(23552, 0x02);
constexpr uint8_t kOnesTransposed = 0x80, kTwosTransposed = 0x20;

// Addresses below the blank tail written by a patch: the same in both images.
int PatchedBytes(int32_t window_offset) {
  const Composed a = Compose(kOnes, window_offset), b = Compose(kTwos, window_offset);
  int n = 0;
  for (uint32_t address = 0x8000; address < 0xDC00; ++address) n += a.at(address) == b.at(address);
  return n;
}

TEST(PatchTable, WorkedExamplesAtWindowOffsetZero) {
  const Composed c = Compose(kSource, 0);  // every key is its own address
  const Bytes first_row = {0xCD, 0x21, 0x70, 0xD8, 0x3D, 0xC8, 0x3D,
                           0xCC, 0xA0, 0x83, 0xC3, 0xFF, 0x82};
  EXPECT_EQ(c.at(0x82E8), SourceAt(0x82E8));  // meets nothing: copied
  EXPECT_EQ(Bytes(c.image.begin() + 0x2E9, c.image.begin() + 0x2E9 + 13), first_row);
  EXPECT_EQ(Bytes(c.image.begin() + 0xC06, c.image.begin() + 0xC06 + 19),
            Bytes(c.image.begin() + 0xE17, c.image.begin() + 0xE17 + 19));  // the same 19 bytes
  EXPECT_EQ(c.at(0x8C06), 0x57);
  EXPECT_EQ(c.at(0xA3A0), CellTranspose(SourceAt(0xA3A0)));
  EXPECT_EQ(Bytes(c.image.begin() + 0x23A2, c.image.begin() + 0x23A6),
            Bytes({0xCA, 0x07, 0xCC, 0x07}));
  EXPECT_EQ(c.at(0xBF51), 0x70);
  EXPECT_EQ(c.at(0xBF52), SourceAt(0xBF52));
}

TEST(PatchTable, KeySetsHaveTheirSizes) {
  const Composed a = Compose(kOnes, 0), b = Compose(kTwos, 0);
  int patched = 0, transposed = 0;
  for (uint32_t address = 0x8000; address < 0xDC00; ++address) {
    patched += a.at(address) == b.at(address);
    transposed += a.at(address) == kOnesTransposed && b.at(address) == kTwosTransposed;
  }
  EXPECT_EQ(patched, 465);
  EXPECT_EQ(transposed, 0x600 + 0x2B + 8 + 20);
}

// Keys 0x8DEE and 0x8DEF lie below the shift window, so they carry the word
// at their own addresses whatever the window offset.
TEST(RelocatedWord, IsBaseMinusWindowOffsetModulo65536) {
  const std::pair<int32_t, uint16_t> cases[] = {
      {0, 0x9577},     {5, 0x9572},     {-3, 0x957A},        {0x100, 0x9477},
      {-4096, 0xA577}, {65536, 0x9577}, {INT32_MIN, 0x9577}, {INT32_MAX, 0x9578}};
  for (const auto& [offset, word] : cases) {
    const Composed c = Compose(kSource, offset);
    EXPECT_EQ(c.at(0x8DEE) | c.at(0x8DEF) << 8, word) << offset;
  }
}

// Output bit 7..0 takes input bit 0, 4, 1, 5, 2, 6, 3, 7. Checked on the
// transposed keys 0xD000 onward, which no window offset moves.
TEST(CellTranspose, MovesEachBitToItsRow) {
  const std::pair<uint8_t, uint8_t> examples[] = {
      {0x01, 0x80},  // 0000 0001 -> 1000 0000: first column, top row
      {0x10, 0x40},  // 0001 0000 -> 0100 0000: second column, top row
      {0x0F, 0xAA},  // first column full -> 1010 1010
      {0xF0, 0x55},  // second column full -> 0101 0101
      {0x33, 0xF0},  // top two rows full -> 1111 0000
      {0x5A, 0x66},  // 0101 1010 -> 0110 0110
      {0x00, 0x00}, {0xFF, 0xFF},
      {0x80, 0x01},  // 1000 0000 -> 0000 0001: second column, bottom row
      {0x08, 0x02},  // 0000 1000 -> 0000 0010: first column, bottom row
      {0x02, 0x20},  // 0000 0010 -> 0010 0000: first column, second row
      {0x40, 0x04},  // 0100 0000 -> 0000 0100: second column, third row
  };
  Bytes source = kSource;
  for (size_t i = 0; i < std::size(examples); ++i) source[0x5000 + i] = examples[i].first;
  const Composed c = Compose(source, 0);
  for (size_t i = 0; i < std::size(examples); ++i)
    EXPECT_EQ(c.at(0xD000 + static_cast<uint32_t>(i)), examples[i].second)
        << int{examples[i].first};
}

// One byte at each window offset of the worked examples; the relocated word
// at the same offsets is a row of RelocatedWord's table.
TEST(Conversion, WorkedExamplesByWindowOffset) {
  EXPECT_EQ(Compose(kSource, 0).at(0x8A0B), 0xCD);               // file offset 0xA0B
  EXPECT_EQ(Compose(kSource, 5).at(0x9570), 0x00);               // judged by key 0x9575
  EXPECT_EQ(Compose(kSource, -3).at(0x902B), SourceAt(0x902B));  // key 0x9028 meets nothing
  EXPECT_EQ(Compose(kSource, -4096).at(0x9C06), 0x57);           // key 0x8C06
}

// The span the page warns outside of: every key met once within it (-124 to
// 532), not so just outside it.
TEST(Conversion, EveryPatchKeyMetOnceWithinTheSafeSpan) {
  const int32_t first = kExactOffsetsFirst, last = kExactOffsetsLast;
  for (int32_t d = first; d <= last; ++d) ASSERT_EQ(PatchedBytes(d), 465) << "offset " << d;
  EXPECT_EQ(PatchedBytes(first - 1), 466);
  EXPECT_EQ(PatchedBytes(last + 1), 464);
}

// Cylinder 8 writes again what the conversion captured: in its data sectors
// addresses 0xC200 to 0xCFFF whatever the window offset, in both its table
// sectors capture area B, which follows the window offset from -5,310 to
// 6,845. (Bytes of B never reached, beyond those, are the differential
// test's.)
TEST(Conversion, Cylinder8WritesTheCapturesAgain) {
  std::vector<int32_t> offsets = {-5310, -5309, -1, 0, 1, 0x201, 0x1001, 6844, 6845};
  for (int32_t d = -5310; d <= 6845; d += 97) offsets.push_back(d);
  for (const int32_t d : offsets) {
    const Composed c = Compose(kSource, d);
    ASSERT_EQ(Bytes(c.cylinder8.begin() + 512, c.cylinder8.end()),
              Bytes(c.image.begin() + 0x4200, c.image.begin() + 0x5000))
        << "offset " << d;
    const Bytes expected(c.image.begin() + (0xAAE8 - d - 0x8000),
                         c.image.begin() + (0xAB41 - d - 0x8000) + 1);
    ASSERT_EQ(Bytes(c.cylinder8.begin(), c.cylinder8.begin() + 90), expected) << "offset " << d;
    ASSERT_EQ(Bytes(c.cylinder8.begin(), c.cylinder8.begin() + 256),
              Bytes(c.cylinder8.begin() + 256, c.cylinder8.begin() + 512));
  }
}

// A short source image reads as if padded with 0xFF: every byte taken past
// its end is 0xFF, while patch bytes and the blank tail are written as usual.
TEST(Conversion, ShortSourceReadsAsPaddedWithFF) {
  using namespace testing_support;
  Bytes padded(kSource.begin(), kSource.begin() + 10000);
  padded.resize(23552, 0xFF);
  Bytes images[2];
  for (int i = 0; i < 2; ++i) {
    ScratchDir dir;
    WritePatternInputs(dir, "v1", std::vector<long>(kTakenBytes, kTakenBytes + 13));
    WriteFile(dir / "zemra80_org_v1.bin",
              i == 0 ? Bytes(padded.begin(), padded.begin() + 10000) : padded);
    ASSERT_EQ(RunTool(dir, {"v1", "-4096"}).status, 0);
    images[i] = ReadFile(dir / "zemra8p6.d88");
  }
  EXPECT_EQ(images[0], images[1]);
  EXPECT_EQ(CheckContainer(images[0]), "");
}

// A plain model of the conversion, one byte at a time by patch key, against
// which ConvertMemoryImage is checked. It shares only the key lists with the tool.
enum class Rule : uint8_t { kCopy, kCaptureA, kCaptureB, kPatch, kWordLow, kWordHigh, kTranspose };
struct ModelKey {
  Rule rule = Rule::kCopy;
  uint8_t byte = 0;
};
constexpr int32_t kWindowFirst = 0x902B, kWindowLast = 0xBFFF;
constexpr int32_t kCaptureAFirst = 0xC200, kCaptureALast = 0xCFFF;
constexpr int32_t kCaptureBFirst = 0xAAE8, kCaptureBLast = 0xAB41;

// Every key 0 to 0xFFFF; later sets overwrite earlier ones, so the rule that
// comes first (transpose, then patch, then copy) wins.
std::vector<ModelKey> ModelKeys() {
  std::vector<ModelKey> keys(0x10000);
  for (int32_t k = kCaptureAFirst; k <= kCaptureALast; ++k) keys[k].rule = Rule::kCaptureA;
  for (int32_t k = kCaptureBFirst; k <= kCaptureBLast; ++k) keys[k].rule = Rule::kCaptureB;
  for (const PatchRow& row : kPatchRows) {
    std::istringstream tokens{std::string(row.bytes)};
    uint32_t k = row.first_key;
    for (std::string t; tokens >> t; ++k)
      keys[k] = t == kWordLowToken ? ModelKey{Rule::kWordLow}
                : t == kWordHighToken
                    ? ModelKey{Rule::kWordHigh}
                    : ModelKey{Rule::kPatch, static_cast<uint8_t>(std::stoi(t, nullptr, 16))};
  }
  for (const auto& r : kTransposeRanges)
    for (uint32_t k = r.first; k <= r.last; ++k) keys[k].rule = Rule::kTranspose;
  for (uint32_t j = 0; j < kTransposeRecords; ++j)
    for (const uint32_t k : {0u, 1u})
      keys[kTransposeRecordsFirst + kTransposeRecordStride * j + k].rule = Rule::kTranspose;
  return keys;
}

void ModelConvert(const std::vector<ModelKey>& keys, const uint8_t* source, int32_t d,
                  MemoryImage& out) {
  const uint16_t word = static_cast<uint16_t>(0x9577u - static_cast<uint32_t>(d));
  uint8_t* image = out.image;
  std::fill_n(image + (0xDC00 - 0x8000), 0x400, 0);  // the blank tail takes no source byte
  for (int32_t a = 0x8000; a < 0xDC00; ++a) {
    const bool shifted = a >= kWindowFirst && a <= kWindowLast;
    const int32_t k =
        shifted ? static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(d)) : a;
    const ModelKey key = k >= 0 && k <= 0xFFFF ? keys[k] : ModelKey{};
    const uint8_t b = source[a - 0x8000];
    image[a - 0x8000] = key.rule == Rule::kTranspose  ? CellTranspose(b)
                        : key.rule == Rule::kPatch    ? key.byte
                        : key.rule == Rule::kWordLow  ? static_cast<uint8_t>(word)
                        : key.rule == Rule::kWordHigh ? static_cast<uint8_t>(word >> 8)
                                                      : b;  // copied
    if (key.rule == Rule::kCaptureA) out.capture_a[k - kCaptureAFirst] = b;
    if (key.rule == Rule::kCaptureB) out.capture_b[k - kCaptureBFirst] = b;
  }
}

// Where two stretches of equal length first differ, or -1.
template <typename T>
long FirstDifference(const T& want, const T& got) {
  if (std::equal(std::begin(want), std::end(want), std::begin(got))) return -1;  // memcmp, fast
  return std::mismatch(std::begin(want), std::end(want), std::begin(got)).first - std::begin(want);
}

// Shifted keys run from 0x902B + d to 0xBFFF + d, so they start or stop
// meeting a stretch of keys [lo, hi] at d = lo - 0xBFFF and hi - 0x902B, and
// meet all of it from hi - 0xBFFF to lo - 0x902B: -496 and -991 for the low
// transpose ranges, 0x1001 for the high one, 0x201 for capture A, -5399,
// -5310, 6845 and 6934 for capture B, -125 and 533 where table keys start to
// be met twice or never. Every such edge of every stretch of the key table,
// and of 0x0000 to 0xFFFF and 0x8000 to 0xFFFF beyond which keys meet
// nothing, is taken with both neighbours.
std::vector<int32_t> DifferentialOffsets(const std::vector<ModelKey>& keys) {
  std::vector<int32_t> d = {0, 65536, -65536, 65536 + 5, 65536 - 4096, INT32_MIN, INT32_MAX};
  for (int32_t k = 0; k <= 0x10000; ++k) {
    // A stretch starts at k and the one before ends at k - 1; 0, 0x8000 and
    // 0x10000 bound the keys that can meet anything.
    if (k % 0x8000 != 0 && keys[k].rule == keys[k - 1].rule) continue;
    for (int32_t step = -2; step <= 1; ++step)  // the edges of k and k - 1, with neighbours
      d.insert(d.end(), {k - kWindowFirst + step, k - kWindowLast + step});
  }
  // Between the edges, evenly over the offsets at which some shifted key can
  // meet a key of any set: 0x82E9 (the lowest table key) to 0xD5FF (the top
  // of the highest transpose range).
  for (int32_t x = 0x82E9 - kWindowLast; x <= 0xD5FF - kWindowFirst; x += 40) d.push_back(x);
  std::sort(d.begin(), d.end());
  d.erase(std::unique(d.begin(), d.end()), d.end());
  return d;
}

TEST(Conversion, DifferentialAgainstAPlainModelOfTheRules) {
  const std::vector<ModelKey> keys = ModelKeys();
  const std::vector<int32_t> offsets = DifferentialOffsets(keys);
  ASSERT_GE(offsets.size(), 2000u);
  std::mt19937 random(20240607);
  std::array<uint8_t, kSourceBytes> source;
  MemoryImage want, got;
  for (size_t n = 0; n < offsets.size(); ++n) {
    const int32_t d = offsets[n];
    if (n % 4 == 0)  // a fresh source every four offsets, four bytes a draw
      for (size_t j = 0; j < source.size(); j += 4)
        for (uint32_t r = random(), i = 0; i < 4; ++i)
          source[j + i] = static_cast<uint8_t>(r >> 8 * i);
    want = {};
    std::fill_n(reinterpret_cast<uint8_t*>(&got), sizeof got, 0x5A);  // what a last run left
    ModelConvert(keys, source.data(), d, want);
    ConvertMemoryImage(source, d, got);
    const long at = FirstDifference(want.image, got.image);
    ASSERT_LT(at, 0) << "window offset " << d << ": image differs first at address 0x" << std::hex
                     << 0x8000 + at << ", want 0x" << int{want.image[at]} << ", got 0x"
                     << int{got.image[at]};
    const long in_a = FirstDifference(want.capture_a, got.capture_a);
    const long in_b = FirstDifference(want.capture_b, got.capture_b);
    ASSERT_TRUE(in_a < 0 && in_b < 0)
        << "window offset " << d << ": capture area A differs first at "
        << "index " << in_a << ", B at " << in_b << " (-1: none)";
  }
}

}  // namespace
}  // namespace composer
