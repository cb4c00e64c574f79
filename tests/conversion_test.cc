// The memory-image conversion and its tables, checked against the worked
// examples of how the tool treats particular bytes and offsets.
#include "composer/conversion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <map>
#include <vector>

#include "composer/composer.h"
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
  Bytes inputs(kInputBytes, 0xFF);
  std::copy_n(source.begin(), std::min<size_t>(source.size(), kSourceBytes),
              inputs.begin() + kInputAt[kSource]);
  DiskComposer composer(InputBytes(inputs.data(), kInputBytes), window_offset);
  Composed result;
  uint8_t sector[256];
  for (int c = 0; c <= 8; ++c) {
    for (int r = 1; r <= 16; ++r) {
      composer.SectorContent(c, r, sector);
      Bytes& to = c == 8 ? result.cylinder8 : result.image;
      if (c >= 2) to.insert(to.end(), sector, sector + 256);
    }
  }
  return result;
}

const Bytes kSource = testing_support::PatternFile(3, 23552);
uint8_t SourceAt(uint32_t address) { return kSource[address - 0x8000]; }

TEST(PatchTable, WorkedExamples) {
  const Bytes first_row = {0xCD, 0x21, 0x70, 0xD8, 0x3D, 0xC8, 0x3D,
                           0xCC, 0xA0, 0x83, 0xC3, 0xFF, 0x82};
  EXPECT_EQ(LookUpKey(0x82E8).action, KeyAction::kCopy);
  for (uint32_t i = 0; i < first_row.size(); ++i) {
    EXPECT_EQ(LookUpKey(0x82E9 + i).action, KeyAction::kPatch);
    EXPECT_EQ(LookUpKey(0x82E9 + i).byte, first_row[i]) << i;
  }
  for (uint32_t i = 0; i < 19; ++i) {  // two runs carry the same 19 bytes
    EXPECT_EQ(LookUpKey(0x8C06 + i).byte, LookUpKey(0x8E17 + i).byte) << i;
  }
  EXPECT_EQ(LookUpKey(0x8C06).byte, 0x57);
  EXPECT_EQ(LookUpKey(0x8DEE).action, KeyAction::kPatchWordLow);
  EXPECT_EQ(LookUpKey(0x8DEF).action, KeyAction::kPatchWordHigh);
  EXPECT_EQ(LookUpKey(0xA3A0).action, KeyAction::kTranspose);
  for (uint32_t k = 0xA3A2; k <= 0xA3A5; ++k) EXPECT_EQ(LookUpKey(k).action, KeyAction::kPatch);
  EXPECT_EQ(LookUpKey(0xBF51).action, KeyAction::kPatch);
  EXPECT_EQ(LookUpKey(0xBF51).byte, 0x70);
  EXPECT_EQ(LookUpKey(0xBF52).action, KeyAction::kCopy);
  for (const int32_t far : {-1, 0, 0x7FFF, 0x10000, INT32_MIN, INT32_MAX})
    EXPECT_EQ(LookUpKey(far).action, KeyAction::kCopy) << far;
}

TEST(PatchTable, KeySetsHaveTheirSizes) {
  std::map<KeyAction, int> count;
  for (int32_t k = 0x8000; k <= 0xFFFF; ++k) ++count[LookUpKey(k).action];
  EXPECT_EQ(
      count[KeyAction::kPatch] + count[KeyAction::kPatchWordLow] + count[KeyAction::kPatchWordHigh],
      465);
  EXPECT_EQ(count[KeyAction::kTranspose], 0x600 + 0x2B + 8 + 20);
  EXPECT_EQ(count[KeyAction::kCaptureA], 3584);
  EXPECT_EQ(count[KeyAction::kCaptureB], 90);
}

TEST(RelocatedWord, IsBaseMinusWindowOffsetModulo65536) {
  const std::pair<int32_t, uint16_t> cases[] = {
      {0, 0x9577},     {5, 0x9572},     {-3, 0x957A},        {0x100, 0x9477},
      {-4096, 0xA577}, {65536, 0x9577}, {INT32_MIN, 0x9577}, {INT32_MAX, 0x9578}};
  for (const auto& [offset, word] : cases) EXPECT_EQ(RelocatedWord(offset), word) << offset;
}

TEST(CellTranspose, MovesEachBitToItsRow) {
  // Output bit 7..0 takes input bit 0, 4, 1, 5, 2, 6, 3, 7.
  const int source_bit_of_output[8] = {7, 3, 6, 2, 5, 1, 4, 0};  // index: output bit
  for (int out_bit = 0; out_bit < 8; ++out_bit) {
    EXPECT_EQ(CellTranspose(static_cast<uint8_t>(1 << source_bit_of_output[out_bit])),
              1 << out_bit);
  }
  const std::pair<uint8_t, uint8_t> examples[] = {
      {0x01, 0x80},  // 0000 0001 -> 1000 0000: first column, top row
      {0x10, 0x40},  // 0001 0000 -> 0100 0000: second column, top row
      {0x0F, 0xAA},  // first column full -> 1010 1010
      {0xF0, 0x55},  // second column full -> 0101 0101
      {0x33, 0xF0},  // top two rows full -> 1111 0000
      {0x5A, 0x66},  // 0101 1010 -> 0110 0110
      {0x00, 0x00}, {0xFF, 0xFF},
  };
  for (const auto& [in, out] : examples) EXPECT_EQ(CellTranspose(in), out) << int{in};
}

TEST(PatchKey, ShiftsOnlyInsideTheWindowAndWraps) {
  EXPECT_EQ(PatchKey(0x902A, 1000), 0x902A);
  EXPECT_EQ(PatchKey(0x902B, -3), 0x9028);
  EXPECT_EQ(PatchKey(0xBFFF, 5), 0xC004);
  EXPECT_EQ(PatchKey(0xC000, 5), 0xC000);
  EXPECT_EQ(PatchKey(0x9570, INT32_MAX), static_cast<int32_t>(0x9570u + 0x7FFFFFFFu));
  EXPECT_EQ(PatchKey(0x9570, INT32_MIN), static_cast<int32_t>(0x9570u + 0x80000000u));
  EXPECT_EQ(PatchKey(0x9570, 65536), 0x19570);  // not reduced to 16 bits
}

TEST(Conversion, WorkedExamplesByWindowOffset) {
  const Composed d0 = Compose(kSource, 0);
  EXPECT_EQ(d0.at(0x8A0B), 0xCD);  // file offset 0xA0B
  EXPECT_EQ(d0.at(0x8DEE), 0x77);
  EXPECT_EQ(d0.at(0x8DEF), 0x95);

  const Composed d5 = Compose(kSource, 5);
  EXPECT_EQ(d5.at(0x9570), 0x00);  // judged by key 0x9575
  EXPECT_EQ(d5.at(0x8DEE), 0x72);
  EXPECT_EQ(d5.at(0x8DEF), 0x95);

  const Composed m3 = Compose(kSource, -3);
  EXPECT_EQ(m3.at(0x902B), SourceAt(0x902B));  // key 0x9028 meets nothing
  EXPECT_EQ(m3.at(0x8DEE), 0x7A);
  EXPECT_EQ(m3.at(0x8DEF), 0x95);

  EXPECT_EQ(Compose(kSource, -4096).at(0x9C06), 0x57);  // key 0x8C06
}

TEST(Conversion, FixedStretchesIgnoreTheWindowOffset) {
  for (const int32_t d : {0, 5, -3, 0x1001, -5000, INT32_MIN, INT32_MAX, 65536}) {
    const Composed c = Compose(kSource, d);
    for (uint32_t a = 0xD000; a <= 0xD5FF; ++a)
      ASSERT_EQ(c.at(a), CellTranspose(SourceAt(a))) << std::hex << a << " offset " << d;
    for (uint32_t a = 0xDC00; a <= 0xDFFF; ++a) ASSERT_EQ(c.at(a), 0) << std::hex << a;
    // Cylinder 8 sectors 3 to 16 re-emit addresses 0xC200 to 0xCFFF.
    EXPECT_EQ(Bytes(c.cylinder8.begin() + 512, c.cylinder8.end()),
              Bytes(c.image.begin() + 0x4200, c.image.begin() + 0x5000))
        << "offset " << d;
  }
}

TEST(Conversion, OffsetsBeyond16BitsCopyTheWholeWindow) {
  for (const int32_t d : {65536, INT32_MAX, INT32_MIN, -65536}) {
    const Composed c = Compose(kSource, d);
    for (uint32_t a = 0x902B; a <= 0xBFFF; ++a) ASSERT_EQ(c.at(a), SourceAt(a)) << d;
  }
}

// The table's keys as met by the conversion for one window offset: how often
// each key is met over all image addresses.
std::map<int32_t, int> PatchKeysMet(int32_t d) {
  std::map<int32_t, int> met;
  for (uint32_t a = 0x8000; a < 0xDC00; ++a) {
    const int32_t k = PatchKey(a, d);
    const KeyAction act = LookUpKey(k).action;
    if (act == KeyAction::kPatch || act == KeyAction::kPatchWordLow ||
        act == KeyAction::kPatchWordHigh)
      ++met[k];
  }
  return met;
}

TEST(Conversion, EveryPatchKeyMetOnceWithinTheSafeSpan) {
  for (int32_t d = -124; d <= 532; ++d) {
    const auto met = PatchKeysMet(d);
    ASSERT_EQ(met.size(), 465u) << "offset " << d;
    for (const auto& [key, times] : met) ASSERT_EQ(times, 1) << "key " << key << " offset " << d;
  }
  int total_m125 = 0, total_533 = 0;
  for (const auto& [key, times] : PatchKeysMet(-125)) total_m125 += times;
  for (const auto& [key, times] : PatchKeysMet(533)) total_533 += times;
  EXPECT_EQ(total_m125, 466);
  EXPECT_EQ(total_533, 464);
}

TEST(Conversion, CaptureBFollowsTheWindowOffset) {
  std::vector<int32_t> offsets = {-5310, -5309, -1, 0, 1, 6844, 6845};
  for (int32_t d = -5310; d <= 6845; d += 97) offsets.push_back(d);
  for (const int32_t d : offsets) {
    const Composed c = Compose(kSource, d);
    const Bytes table(c.cylinder8.begin(), c.cylinder8.begin() + 90);
    const Bytes expected(c.image.begin() + (0xAAE8 - d - 0x8000),
                         c.image.begin() + (0xAB41 - d - 0x8000) + 1);
    ASSERT_EQ(table, expected) << "offset " << d;
    ASSERT_EQ(Bytes(c.cylinder8.begin(), c.cylinder8.begin() + 256),
              Bytes(c.cylinder8.begin() + 256, c.cylinder8.begin() + 512));
  }
}

TEST(Conversion, UnreachedCaptureBytesAreZero) {
  const Bytes nonzero(23552, 0x5A);
  for (const int32_t d : {-6000, 7000, INT32_MAX}) {
    const Composed c = Compose(nonzero, d);
    EXPECT_EQ(Bytes(c.cylinder8.begin(), c.cylinder8.begin() + 90), Bytes(90, 0)) << d;
  }
  // Partly reached: from 6,846 the first byte's key lies past the window.
  const Composed part = Compose(nonzero, 6846);
  EXPECT_EQ(part.cylinder8[0], 0);
  EXPECT_EQ(part.cylinder8[89], 0x5A);
}

TEST(Conversion, ShortSourceGivesFFWhereSourceBytesAreWritten) {
  const Bytes short_source(kSource.begin(), kSource.begin() + 10000);
  for (const int32_t d : {0, 5, -4096}) {
    const Composed full = Compose(kSource, d), cut = Compose(short_source, d);
    for (uint32_t a = 0x8000; a < 0xE000; ++a) {
      const KeyAction act = LookUpKey(PatchKey(a, d)).action;
      const bool from_source =
          a < 0xDC00 && (act == KeyAction::kCopy || act == KeyAction::kTranspose ||
                         act == KeyAction::kCaptureA || act == KeyAction::kCaptureB);
      const uint8_t expected = a - 0x8000 >= 10000 && from_source ? 0xFF : full.at(a);
      ASSERT_EQ(cut.at(a), expected) << std::hex << a << " offset " << std::dec << d;
    }
  }
}

// The finished image written by the real tool: the road of one byte, the
// relocated word and a shifted patch, found through the container.
TEST(Conversion, FinishedImageFromTheTool) {
  using namespace testing_support;
  ScratchDir dir;
  WritePatternInputs(dir, "v2", std::vector<long>(kTakenBytes, kTakenBytes + 13));
  ASSERT_EQ(RunTool(dir, {"v2", "5"}).status, 0);
  const Bytes image = ReadFile(dir / "zemra8p6.d88");
  ASSERT_EQ(CheckContainer(image), "");
  EXPECT_EQ(SectorData(image, 2, 11)[0x0B], 0xCD);  // address 0x8A0B
  EXPECT_EQ(SectorData(image, 2, 14)[0xEE], 0x72);  // 0x8DEE, 0x8DEF: W = 0x9572
  EXPECT_EQ(SectorData(image, 2, 14)[0xEF], 0x95);
  EXPECT_EQ(SectorData(image, 3, 6)[0x70], 0x00);                    // 0x9570, key 0x9575
  EXPECT_EQ(SectorData(image, 3, 6)[0x6F], PatternByte(3, 0x156F));  // copied
  for (int r = 3; r <= 16; ++r) {
    const auto a = SectorData(image, 8, r), b = SectorData(image, 6, r);
    EXPECT_EQ(Bytes(a.begin(), a.end()), Bytes(b.begin(), b.end())) << "sector " << r;
  }
}

}  // namespace
}  // namespace composer
