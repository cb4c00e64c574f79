#include "d88/container.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "d88/geometry.h"

namespace d88 {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Header() {
  uint8_t h[kImageHeaderBytes];
  FillImageHeader(h);
  return Bytes(h, h + kImageHeaderBytes);
}

Bytes Slice(const Bytes& b, size_t at, size_t n) {
  return Bytes(b.begin() + at, b.begin() + at + n);
}

TEST(ImageHeader, CarriesNameMediaSizeAndTrackTable) {
  const Bytes h = Header();
  EXPECT_EQ(Slice(h, 0, 8), Bytes({'Z', 'E', 'M', 'R', 'A', '8', 'p', '6'}));
  EXPECT_EQ(Slice(h, 0x08, 19), Bytes(19, 0));  // name padding, reserved, not write-protected
  EXPECT_EQ(h[0x1B], 0x10);
  EXPECT_EQ(Slice(h, 0x1C, 4), Bytes({0xB0, 0x52, 0x05, 0x00}));
  EXPECT_EQ(Slice(h, 0x20, 8), Bytes({0xB0, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Slice(h, 0x28, 4), Bytes({0xB0, 0x13, 0x00, 0x00}));
  EXPECT_EQ(Slice(h, 0x298, 4), Bytes({0xB0, 0x41, 0x05, 0x00}));  // cylinder 79
  EXPECT_EQ(Slice(h, 0x29C, 0x2B0 - 0x29C), Bytes(0x2B0 - 0x29C, 0));
}

TEST(ImageHeader, TrackTableStepsByOneTrackOnSideZeroOnly) {
  const Bytes h = Header();
  for (uint32_t entry = 0; entry < 164; ++entry) {
    const size_t at = 0x20 + 4 * entry;
    const uint32_t value = h[at] | h[at + 1] << 8 | h[at + 2] << 16 | uint32_t{h[at + 3]} << 24;
    const uint32_t expected = (entry % 2 == 0 && entry < 160) ? 688 + entry / 2 * 4352 : 0;
    EXPECT_EQ(value, expected) << "entry " << entry;
  }
}

TEST(SectorHeader, NamesCylinderAndSector) {
  struct Case {
    int c, r;
    Bytes bytes;
  };
  const Case cases[] = {
      {0, 1, {0x00, 0, 0x01, 1, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x01}},
      {0, 2, {0x00, 0, 0x02, 1, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x01}},
      {79, 16, {0x4F, 0, 0x10, 1, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x01}},
  };
  for (const Case& c : cases) {
    uint8_t s[kSectorHeaderBytes];
    FillSectorHeader(s, c.c, c.r);
    EXPECT_EQ(Bytes(s, s + kSectorHeaderBytes), c.bytes) << c.c << "/" << c.r;
  }
}

}  // namespace
}  // namespace d88
