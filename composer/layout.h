// Where each part of the disk lies: one table of placements, saying which
// buffer fills which sectors of which cylinders: an input's share, the
// converted memory image, a capture area or the name table. A sector that no
// placement names is blank. How many bytes the run takes from each input
// follows from the table.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "composer/conversion.h"
#include "d88/geometry.h"

namespace composer {

// The inputs, in the order the run opens them.
enum Member : int {
  kLoader1,
  kLoader2,
  kProgram,
  kSource,  // the memory image that the conversion reads
  kData1,
  kData9 = kData1 + 8,
  kInputCount
};

// What fills a placement's sectors.
enum class From : uint8_t {
  kInput,        // the member's share, sector after sector; each cylinder the next member's
  kMemoryImage,  // the converted memory image, sector after sector
  kCaptureA,     // capture area A, sector after sector
  kCaptureB,     // capture area B in every sector, then zeros: a block's table
  kNameTable,    // the name table in every sector, then zeros: a block's table
};

struct Placement {
  int first_cylinder, last_cylinder;
  int first_sector, last_sector;
  From from;
  int member;  // kInput: the input on the first cylinder
};

// clang-format off
inline constexpr Placement kPlacements[] = {
    // cylinders  sectors  from                  input
    {0,  0,       1,  1,   From::kInput,         kLoader1},
    {0,  0,       2,  4,   From::kInput,         kLoader2},
    {1,  1,       1, 16,   From::kInput,         kProgram},
    {2,  7,       1, 16,   From::kMemoryImage,   kSource},
    {8,  8,       1,  2,   From::kCaptureB,      -1},
    {8,  8,       3, 16,   From::kCaptureA,      -1},
    {9, 17,       1,  2,   From::kNameTable,     -1},
    {9, 17,       3, 16,   From::kInput,         kData1},
};
// clang-format on

constexpr int Sectors(const Placement& p) { return p.last_sector - p.first_sector + 1; }
constexpr int Cylinders(const Placement& p) { return p.last_cylinder - p.first_cylinder + 1; }

// Bytes the run takes from each input: exactly what its sectors hold, and
// for the source image the memory image up to its blank tail.
constexpr std::array<int, kInputCount> MakeBytesTaken() {
  std::array<int, kInputCount> bytes{};
  bytes[kSource] = kSourceBytes;
  for (const Placement& p : kPlacements)
    if (p.from == From::kInput)
      for (int c = 0; c < Cylinders(p); ++c) bytes[p.member + c] = Sectors(p) * d88::kSectorBytes;
  return bytes;
}
inline constexpr std::array<int, kInputCount> kBytesTaken = MakeBytesTaken();
static_assert(kBytesTaken[kLoader1] == 256 && kBytesTaken[kLoader2] == 768);
static_assert(kBytesTaken[kProgram] == 4096 && kBytesTaken[kSource] == 23552);
static_assert(kBytesTaken[kData1] == 3584 && kBytesTaken[kData9] == 3584);

// All inputs' bytes lie back to back, in opening order, each exactly as many
// as the run takes from it: those read, then 0xFF past the end of its file.
constexpr std::array<int, kInputCount + 1> MakeInputAt() {
  std::array<int, kInputCount + 1> at{};
  for (int m = 0; m < kInputCount; ++m) at[m + 1] = at[m] + kBytesTaken[m];
  return at;
}
inline constexpr std::array<int, kInputCount + 1> kInputAt = MakeInputAt();
inline constexpr int kInputBytes = kInputAt[kInputCount];
using InputBytes = std::span<const uint8_t, kInputBytes>;
inline constexpr uint8_t kPastEnd = 0xFF;  // taken in place of every byte past the end of an input

}  // namespace composer
