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
#include "composer/input_layout.h"
#include "d88/geometry.h"

namespace composer {

// What fills a placement's sectors: a buffer whose bytes fill them in turn,
// or a block's table that every sector repeats, then zeros (composer.cc
// gives each its bytes).
enum class From : uint8_t {
  kInput,        // the member's share, sector after sector; each cylinder the next member's
  kMemoryImage,  // the converted memory image, sector after sector
  kCaptureA,     // capture area A, sector after sector
  kCaptureB,     // capture area B in every sector, then zeros: a block's table
  kNameTable,    // the name table in every sector, then zeros: a block's table
  kZeros,        // nothing: zeros
};

// Sectors first to last (as numbered on the disk) of cylinders first to
// last, and what fills them.
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

// The sectors on each of a placement's cylinders, and its cylinders.
constexpr int Sectors(const Placement& p) { return p.last_sector - p.first_sector + 1; }

constexpr int Cylinders(const Placement& p) { return p.last_cylinder - p.first_cylinder + 1; }

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

// Composes the whole image from the inputs' shares and the window offset:
// converts the memory image, then fills the image header, every sector
// header, and every sector from its placement. Every byte of `image` is
// written; nothing can fail.
void ComposeImage(InputBytes inputs, int32_t window_offset, Image image);

}  // namespace composer
