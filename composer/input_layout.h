// The input layout: the thirteen inputs' bytes back to back in one buffer,
// in the order the run opens them, each input with exactly as many bytes as
// the run takes from it. A driver reads each file's first bytes into its
// share and fills the rest with kPastEnd (input_set.h); the composer places
// the shares on the disk (composer.h), and checks that its placements take
// from each input the bytes given here.
#pragma once

#include <array>
#include <cstdint>
#include <span>

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

// Bytes the run takes from each input, one row per row of the input table;
// the data blocks share one row, as they share one shape.
// clang-format off
inline constexpr std::array<int, kInputCount> kBytesTaken = {
    256,                                                    // loader 1
    768,                                                    // loader 2
    4096,                                                   // program block
    23552,                                                  // source image
    3584, 3584, 3584, 3584, 3584, 3584, 3584, 3584, 3584,  // data 1 to 9, each
};
// clang-format on

// Where each input's share begins in the buffer; kInputAt[kInputCount] is
// the buffer's size.
inline constexpr std::array<int, kInputCount + 1> kInputAt = [] {
  std::array<int, kInputCount + 1> at{};
  for (int m = 0; m < kInputCount; ++m) at[m + 1] = at[m] + kBytesTaken[m];
  return at;
}();
inline constexpr int kInputBytes = kInputAt[kInputCount];
using InputBytes = std::span<const uint8_t, kInputBytes>;

// Taken in place of every byte past the end of an input.
inline constexpr uint8_t kPastEnd = 0xFF;

}  // namespace composer
