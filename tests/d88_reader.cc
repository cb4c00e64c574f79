#include "tests/d88_reader.h"

#include <cstdio>

namespace testing_support {
namespace {

constexpr size_t kHeader = 0x2B0;
constexpr size_t kSectorHeader = 16;

// The little-endian 16-bit and 32-bit values at `at` in `b`.
uint32_t Le16(std::span<const uint8_t> b, size_t at) { return b[at] | (b[at + 1] << 8); }

uint32_t Le32(std::span<const uint8_t> b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

std::string Where(const char* what, int c, int r) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%s (cylinder %d, sector %d)", what, c, r);
  return buf;
}

}  // namespace

std::string CheckContainer(std::span<const uint8_t> image) {
  if (image.size() != 348'848) return "image is " + std::to_string(image.size()) + " bytes";
  const char name[] = "ZEMRA8p6";
  for (size_t i = 0; i < 8; ++i)
    if (image[i] != static_cast<uint8_t>(name[i])) return "disk name differs";
  for (size_t i = 8; i < 0x1B; ++i)
    if (image[i] != 0) return "name padding, reserved or write-protect byte not zero";
  if (image[0x1B] != 0x10) return "media type is not 2DD";
  if (Le32(image, 0x1C) != image.size()) return "size field does not match the file";
  size_t expected_track = kHeader;
  for (int entry = 0; entry < 164; ++entry) {
    const uint32_t offset = Le32(image, 0x20 + 4 * static_cast<size_t>(entry));
    const bool side0_track = entry % 2 == 0 && entry < 160;
    if (!side0_track) {
      if (offset != 0) return "track table entry " + std::to_string(entry) + " not zero";
      continue;
    }
    const int c = entry / 2;
    if (offset != expected_track) return Where("track offset wrong", c, 0);
    size_t at = offset;
    for (int r = 1; r <= 16; ++r) {
      if (at + kSectorHeader > image.size()) return Where("sector header past end", c, r);
      const auto h = image.subspan(at, kSectorHeader);
      if (h[0] != c || h[1] != 0 || h[2] != r || h[3] != 1) return Where("CHRN wrong", c, r);
      if (Le16(h, 4) != 16) return Where("sector count wrong", c, r);
      if (h[6] != 0 || h[7] != 0 || h[8] != 0) return Where("density, mark or status", c, r);
      for (size_t i = 9; i < 14; ++i)
        if (h[i] != 0) return Where("reserved bytes not zero", c, r);
      if (Le16(h, 14) != 256) return Where("data size wrong", c, r);
      at += kSectorHeader + 256;
    }
    expected_track = at;
  }
  if (expected_track != image.size()) return "tracks do not end at the end of the file";
  return "";
}

std::span<const uint8_t> SectorData(std::span<const uint8_t> image, int cylinder, int sector) {
  if (image.size() < kHeader || cylinder < 0 || cylinder >= 82) return {};
  size_t at = Le32(image, 0x20 + 8 * static_cast<size_t>(cylinder));
  if (at == 0) return {};
  for (int i = 0; i < 16 && at + kSectorHeader <= image.size(); ++i) {
    const size_t size = Le16(image, at + 14);
    if (image[at] == cylinder && image[at + 2] == sector) {
      if (at + kSectorHeader + size > image.size()) return {};
      return image.subspan(at + kSectorHeader, size);
    }
    at += kSectorHeader + size;
  }
  return {};
}

}  // namespace testing_support
