// Where each input's bytes land on the disk, checked on images written by the
// real tool from inputs whose bytes reveal their own file offsets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/d88_reader.h"
#include "tests/test_files.h"

namespace testing_support {
namespace {

// The name table as written out byte by byte.
// clang-format off
const Bytes kNameTableLiteral = {
    0x00, 0x66, 0x00, 0x60, 0x00, 0x30, 0x00, 0x20, 0x00, 0x10,
    'P', 'C', '-', '6', '6', '0', '1', 'S', 'R', 0, 0, 0, 0, 0, 0, 0,
    'P', '6', 'm', 'k', '2', 'S', 'R', ' ', ' ', 0, 0, 0, 0, 0, 0, 0,
    'P', 'C', '-', '6', '6', '0', '1', ' ', ' ', 0, 0, 0, 0, 0, 0, 0,
    'P', 'C', '6', '0', '0', '1', 'm', 'k', '2', 0, 0, 0, 0, 0, 0, 0,
    'P', 'C', '-', '6', '0', '0', '1', ' ', ' ', 0, 0, 0, 0, 0, 0, 0,
};
// clang-format on

Bytes BuildImage(const std::vector<long>& sizes, const std::string& offset = "0") {
  ScratchDir dir;
  WritePatternInputs(dir, "v1", sizes);
  const RunResult r = RunTool(dir, {"v1", offset});
  EXPECT_EQ(r.status, 0) << r.err;
  Bytes image = ReadFile(dir / "zemra8p6.d88");
  EXPECT_EQ(CheckContainer(image), "");
  return image;
}

// The disk position of an input's file offset: cylinder, first sector and
// sector count of the input's area, as the layout gives them.
struct Area {
  int member, cylinder, first_sector, sectors;
};
std::vector<Area> PlainAreas() {
  std::vector<Area> areas = {{0, 0, 1, 1}, {1, 0, 2, 3}, {2, 1, 1, 16}};
  for (int k = 1; k <= 9; ++k) areas.push_back({3 + k, 8 + k, 3, 14});
  return areas;
}

// Each copied input is found at its place: file offset o at sector
// first + o / 256, byte o mod 256. A short input continues with 0xFF.
void ExpectInputsInPlace(const Bytes& image, const std::vector<long>& sizes) {
  for (const Area& a : PlainAreas()) {
    const long size = sizes[static_cast<size_t>(a.member)];
    for (long o = 0; o < a.sectors * 256L; ++o) {
      const auto data = SectorData(image, a.cylinder, a.first_sector + static_cast<int>(o / 256));
      ASSERT_EQ(data.size(), 256u);
      const uint8_t expected = o < size ? PatternByte(a.member, o) : 0xFF;
      ASSERT_EQ(data[static_cast<size_t>(o % 256)], expected)
          << "member " << a.member << " offset " << o << " of " << size;
    }
  }
}

void ExpectZeroSector(const Bytes& image, int c, int r) {
  EXPECT_EQ(Bytes(SectorData(image, c, r).begin(), SectorData(image, c, r).end()), Bytes(256, 0))
      << "cylinder " << c << " sector " << r;
}

TEST(Layout, InputsOfExactSizeLandAtTheirPlaces) {
  std::vector<long> sizes(kTakenBytes, kTakenBytes + 13);
  ExpectInputsInPlace(BuildImage(sizes), sizes);
}

TEST(Layout, ShortInputsContinueWithFF) {
  // An empty loader, a loader cut inside a sector, a 1,000-byte data file
  // (its bytes, then 2,584 bytes of 0xFF), an empty data file.
  std::vector<long> sizes(kTakenBytes, kTakenBytes + 13);
  sizes[0] = 0;
  sizes[1] = 300;
  sizes[2] = 4095;
  sizes[4] = 1000;
  sizes[12] = 0;
  const Bytes image = BuildImage(sizes);
  ExpectInputsInPlace(image, sizes);
  const auto data1_last = SectorData(image, 9, 16);
  EXPECT_EQ(Bytes(data1_last.begin(), data1_last.end()), Bytes(256, 0xFF));
}

TEST(Layout, SurplusInputIsIgnored) {
  std::vector<long> exact(kTakenBytes, kTakenBytes + 13);
  std::vector<long> longer = exact;
  for (long& s : longer) s += 5000;
  EXPECT_EQ(BuildImage(longer), BuildImage(exact));
}

TEST(Layout, BlocksCarryTheirTablesAndTheRestIsBlank) {
  const Bytes image = BuildImage(std::vector<long>(13, 100'000));
  for (int c = 8; c <= 17; ++c) {
    const auto s1 = SectorData(image, c, 1), s2 = SectorData(image, c, 2);
    EXPECT_EQ(Bytes(s1.begin(), s1.end()), Bytes(s2.begin(), s2.end())) << "cylinder " << c;
    EXPECT_EQ(Bytes(s1.begin() + 90, s1.end()), Bytes(166, 0)) << "cylinder " << c;
    if (c >= 9) {
      EXPECT_EQ(Bytes(s1.begin(), s1.begin() + 90), kNameTableLiteral) << "cylinder " << c;
    }
  }
  for (int r = 5; r <= 16; ++r) ExpectZeroSector(image, 0, r);
  for (int c = 18; c <= 79; ++c)
    for (int r = 1; r <= 16; ++r) ExpectZeroSector(image, c, r);
}

}  // namespace
}  // namespace testing_support
