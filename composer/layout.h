// Where each part of the disk lies: one table of placements, saying which
// input or which content fills which sectors of which cylinders. A sector
// that no placement names is blank. How many bytes the run takes from each
// input follows from the table.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "d88/geometry.h"

namespace composer {

using Sector = std::span<uint8_t, d88::kSectorBytes>;

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

enum class Content : uint8_t {
  kInput,         // the member's bytes, one sector after another
  kConverted,     // the memory image converted from the source image
  kCaptureTable,  // capture area B, then zeros
  kCaptureData,   // capture area A
  kNameTable,     // the model name table, then zeros
};

struct Placement {
  int first_cylinder, last_cylinder;
  int first_sector, last_sector;
  Content content;
  int member;  // kInput: the input on the first cylinder; each further cylinder takes the next
};

// In image order. Cylinder 8 writes again what the conversion captured on
// cylinders 2 to 7, so it must come after them.
// clang-format off
inline constexpr Placement kPlacements[] = {
    // cylinders  sectors  content                 input
    {0,  0,       1,  1,   Content::kInput,        kLoader1},
    {0,  0,       2,  4,   Content::kInput,        kLoader2},
    {1,  1,       1, 16,   Content::kInput,        kProgram},
    {2,  7,       1, 16,   Content::kConverted,    kSource},
    {8,  8,       1,  2,   Content::kCaptureTable, -1},
    {8,  8,       3, 16,   Content::kCaptureData,  -1},
    {9, 17,       1,  2,   Content::kNameTable,    -1},
    {9, 17,       3, 16,   Content::kInput,        kData1},
};
// clang-format on

constexpr int Sectors(const Placement& p) { return p.last_sector - p.first_sector + 1; }

// The memory image: addresses 0x8000 to 0xDFFF on cylinders 2 to 7, whole
// tracks in address order. From the blank tail on nothing is taken from the
// source image.
inline constexpr uint32_t kImageFirst = 0x8000;
inline constexpr uint32_t kBlankTail = 0xDC00;
inline constexpr int kSourceBytes = static_cast<int>(kBlankTail - kImageFirst);

// Two stretches of the source image that the conversion captures while it
// writes cylinders 2 to 7, and that cylinder 8 writes again: A fills the
// block's data sectors, B its table. A byte nothing stores stays 0x00.
struct CaptureAreas {
  static constexpr int kABytes = Sectors(kPlacements[5]) * d88::kSectorBytes;
  static constexpr int kBBytes = 90;
  uint8_t a[kABytes] = {};
  uint8_t b[kBBytes] = {};
};
static_assert(kPlacements[5].content == Content::kCaptureData);

// Bytes the run takes from each input: exactly what its sectors hold, and
// for the source image the memory image up to its blank tail.
constexpr std::array<int, kInputCount> MakeBytesTaken() {
  std::array<int, kInputCount> bytes{};
  bytes[kSource] = kSourceBytes;
  for (const Placement& p : kPlacements)
    if (p.content == Content::kInput)
      for (int c = p.first_cylinder; c <= p.last_cylinder; ++c)
        bytes[p.member + c - p.first_cylinder] = Sectors(p) * d88::kSectorBytes;
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
using SourceImage = std::span<const uint8_t, kSourceBytes>;

}  // namespace composer
