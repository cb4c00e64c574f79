// The whole image, composed in memory from the inputs' bytes by whichever
// driver holds them. One table of placements says which buffer fills which
// sectors: an input's share, the memory image converted from the source
// image's share, a capture area, the name table, or nothing but zeros.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <span>
#include <string_view>

#include "composer/conversion.h"
#include "d88/geometry.h"

namespace composer {

// The inputs, in the order the run opens them; the conversion reads kSource.
enum Member : int {
  kLoader1,
  kLoader2,
  kProgram,
  kSource,
  kData1,
  kData9 = kData1 + 8,
  kInputCount
};

// What fills a placement's sectors: a buffer in turn, or from kCaptureB on a table.
enum class From : uint8_t {
  kInput,        // the member's share, sector after sector; each cylinder the next member's
  kMemoryImage,  // the converted memory image, sector after sector
  kCaptureA,     // capture area A, sector after sector
  kCaptureB,     // capture area B in every sector, then zeros: a block's table
  kNameTable,    // the name table in every sector, then zeros: a block's table
  kZeros,        // nothing: zeros
};

struct Placement {
  int first_cylinder, last_cylinder, first_sector, last_sector;
  From from;
  int member;  // kInput: the input on the first cylinder
};

// clang-format off
inline constexpr Placement kPlacements[] = {
    // cylinders  sectors  from                  input
    {0,  0,       1,  1,   From::kInput,         kLoader1},
    {0,  0,       2,  4,   From::kInput,         kLoader2},
    {0,  0,       5, 16,   From::kZeros,         -1},
    {1,  1,       1, 16,   From::kInput,         kProgram},
    {2,  7,       1, 16,   From::kMemoryImage,   kSource},
    {8,  8,       1,  2,   From::kCaptureB,      -1},
    {8,  8,       3, 16,   From::kCaptureA,      -1},
    {9, 17,       1,  2,   From::kNameTable,     -1},
    {9, 17,       3, 16,   From::kInput,         kData1},
    {18, 79,      1, 16,   From::kZeros,         -1},
};
// clang-format on

constexpr int Sectors(const Placement& p) { return p.last_sector - p.first_sector + 1; }
constexpr int Cylinders(const Placement& p) { return p.last_cylinder - p.first_cylinder + 1; }

// Bytes taken from each input: what its sectors hold; for the source image,
// the memory image up to its blank tail.
inline constexpr std::array<int, kInputCount> kBytesTaken = [] {
  std::array<int, kInputCount> bytes{};
  bytes[kSource] = kSourceBytes;
  for (const Placement& p : kPlacements)
    if (p.from == From::kInput)
      for (int c = 0; c < Cylinders(p); ++c) bytes[p.member + c] = Sectors(p) * d88::kSectorBytes;
  return bytes;
}();
static_assert(kBytesTaken[kLoader1] == 256 && kBytesTaken[kLoader2] == 768 &&
              kBytesTaken[kProgram] == 4096 && kBytesTaken[kSource] == 23552 &&
              kBytesTaken[kData1] == 3584 && kBytesTaken[kData9] == 3584);

// All inputs' bytes lie back to back, in opening order, each exactly as many
// as the run takes from it: those read, then 0xFF past the end of its file.
inline constexpr std::array<int, kInputCount + 1> kInputAt = [] {
  std::array<int, kInputCount + 1> at{};
  for (int m = 0; m < kInputCount; ++m) at[m + 1] = at[m] + kBytesTaken[m];
  return at;
}();
inline constexpr int kInputBytes = kInputAt[kInputCount];
using InputBytes = std::span<const uint8_t, kInputBytes>;
inline constexpr uint8_t kPastEnd = 0xFF;  // taken in place of every byte past the end of an input

// The table that leads each of the nine data blocks: five little-endian
// words, then five model names, each nine space-padded characters and zeros.
inline constexpr uint16_t kNameTableWords[] = {0x6600, 0x6000, 0x3000, 0x2000, 0x1000};
inline constexpr std::string_view kModelNames[] = {"PC-6601SR", "P6mk2SR", "PC-6601", "PC6001mk2",
                                                   "PC-6001"};
inline constexpr int kModelNameChars = 9;   // space-padded to this width
inline constexpr int kModelNameField = 16;  // then zero-filled to this width
inline constexpr int kNameTableBytes = 2 * static_cast<int>(std::size(kNameTableWords)) +
                                       kModelNameField * static_cast<int>(std::size(kModelNames));
static_assert(kNameTableBytes == 90);

inline constexpr std::array<uint8_t, kNameTableBytes> kNameTable = [] {
  std::array<uint8_t, kNameTableBytes> table{};  // the names' zero bytes stay
  auto at = table.begin();
  for (const uint16_t word : kNameTableWords) {
    *at++ = static_cast<uint8_t>(word);
    *at++ = static_cast<uint8_t>(word >> 8);
  }
  for (const std::string_view name : kModelNames) {
    std::fill_n(std::copy(name.begin(), name.end(), at), kModelNameChars - name.size(), ' ');
    at += kModelNameField;
  }
  return table;
}();

using Image = std::span<uint8_t, d88::kImageBytes>;

// Converts the memory image, then fills the image header, every sector
// header, and every sector from its placement's buffer.
void ComposeImage(InputBytes inputs, int32_t window_offset, Image image);

}  // namespace composer
