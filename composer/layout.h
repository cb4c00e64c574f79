// Where each part of the disk lies: one table of placements, saying which
// input or which content fills which sectors of which cylinders. A sector
// that no placement names is blank. How many bytes the run takes from each
// input follows from the table.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

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

// In image order. Cylinder 8 re-emits what the conversion captured on
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
inline constexpr int kPlacementCount = static_cast<int>(std::size(kPlacements));

constexpr int Sectors(const Placement& p) { return p.last_sector - p.first_sector + 1; }
constexpr int PlacementIndex(Content content) {
  for (int i = 0; i < kPlacementCount; ++i)
    if (kPlacements[i].content == content) return i;
  return -1;
}

// The memory image: addresses 0x8000 to 0xDFFF on the converted cylinders,
// whole tracks in address order. From the blank tail on nothing is taken
// from the source image.
inline constexpr uint32_t kImageFirst = 0x8000;
inline constexpr uint32_t kBlankTail = 0xDC00;
inline constexpr int kSourceBytes = static_cast<int>(kBlankTail - kImageFirst);
inline constexpr Placement kConvertedPlacement = kPlacements[PlacementIndex(Content::kConverted)];
static_assert(Sectors(kConvertedPlacement) == d88::kSectorsPerTrack);
static_assert((kConvertedPlacement.last_cylinder - kConvertedPlacement.first_cylinder + 1) *
                  d88::kTrackDataBytes ==
              0xE000 - kImageFirst);
static_assert(kBlankTail % d88::kSectorBytes == 0);

// Not constexpr: reaching it while a table below is built stops the build.
inline void LayoutFault() {}

// The placement of every sector, or -1 where the disk is blank.
using PlacementMap = std::array<std::array<int8_t, d88::kSectorsPerTrack>, d88::kCylinders>;
constexpr PlacementMap MakePlacementMap() {
  PlacementMap map{};
  for (auto& track : map) track.fill(-1);
  for (int i = 0; i < kPlacementCount; ++i) {
    const Placement& p = kPlacements[i];
    for (int c = p.first_cylinder; c <= p.last_cylinder; ++c) {
      for (int r = p.first_sector; r <= p.last_sector; ++r) {
        int8_t& slot = map[c][r - d88::kFirstSector];
        if (slot != -1) LayoutFault();  // a sector placed twice
        slot = static_cast<int8_t>(i);
      }
    }
  }
  return map;
}
inline constexpr PlacementMap kPlacementMap = MakePlacementMap();

// Whether a cylinder holds nothing at all: every one of its sectors blank.
constexpr std::array<bool, d88::kCylinders> MakeBlankTracks() {
  std::array<bool, d88::kCylinders> blank{};
  for (int c = 0; c < d88::kCylinders; ++c)
    blank[c] = std::all_of(kPlacementMap[c].begin(), kPlacementMap[c].end(),
                           [](int8_t index) { return index < 0; });
  return blank;
}
inline constexpr std::array<bool, d88::kCylinders> kBlankTrack = MakeBlankTracks();
static_assert(!kBlankTrack[17] && kBlankTrack[18] && kBlankTrack[d88::kCylinders - 1]);

// Bytes the run takes from each input: exactly what its sectors hold, and for
// the source image the memory image up to its blank tail. Each input is
// placed exactly once, on one cylinder.
constexpr std::array<int, kInputCount> MakeBytesTaken() {
  std::array<int, kInputCount> bytes{};
  for (const Placement& p : kPlacements) {
    if (p.content != Content::kInput) continue;
    for (int c = p.first_cylinder; c <= p.last_cylinder; ++c) {
      const int member = p.member + (c - p.first_cylinder);
      if (bytes[member] != 0 || member == kSource) LayoutFault();
      bytes[member] = Sectors(p) * d88::kSectorBytes;
    }
  }
  bytes[kSource] = kSourceBytes;
  for (const int b : bytes)
    if (b == 0) LayoutFault();  // an input placed nowhere
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

using SourceImage = std::span<const uint8_t, kSourceBytes>;
inline SourceImage SourceBytes(InputBytes inputs) {
  return inputs.subspan<kInputAt[kSource], kSourceBytes>();
}

inline std::span<const uint8_t> MemberBytes(InputBytes inputs, int member) {
  return inputs.subspan(static_cast<std::size_t>(kInputAt[member]),
                        static_cast<std::size_t>(kBytesTaken[member]));
}

// The first of the input bytes (laid out as kInputAt says) that composing
// cylinder `c` reads, or kInputBytes when it reads none. A sector placed from
// an input reads that input's own bytes; a converted sector reads the source
// image's bytes at its own address, up to the blank tail; nothing else on the
// disk reads an input.
constexpr int FirstInputByteReadOn(int c) {
  int first = kInputBytes;
  for (const Placement& p : kPlacements) {
    if (c < p.first_cylinder || c > p.last_cylinder) continue;
    const int tracks_in = c - p.first_cylinder;
    if (p.content == Content::kInput) {
      first = std::min(first, kInputAt[p.member + tracks_in]);
    } else if (p.content == Content::kConverted &&
               tracks_in * d88::kTrackDataBytes < kSourceBytes) {
      first = std::min(first, kInputAt[kSource] + tracks_in * d88::kTrackDataBytes);
    }
  }
  return first;
}
static_assert(FirstInputByteReadOn(0) == 0 && FirstInputByteReadOn(8) == kInputBytes);
static_assert(FirstInputByteReadOn(17) == kInputAt[kData9] &&
              FirstInputByteReadOn(18) == kInputBytes);

}  // namespace composer
