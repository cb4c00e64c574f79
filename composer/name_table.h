// The 90-byte table that leads each of the nine data blocks: five
// little-endian words, then the five model names, each a 16-byte field of
// nine space-padded characters and seven zero bytes.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace composer {

inline constexpr uint16_t kNameTableWords[] = {0x6600, 0x6000, 0x3000, 0x2000, 0x1000};
inline constexpr std::string_view kModelNames[] = {"PC-6601SR", "P6mk2SR", "PC-6601", "PC6001mk2",
                                                   "PC-6001"};
inline constexpr int kModelNameChars = 9;   // space-padded to this width
inline constexpr int kModelNameField = 16;  // then zero-filled to this width

inline constexpr int kNameTableBytes = 2 * static_cast<int>(std::size(kNameTableWords)) +
                                       kModelNameField * static_cast<int>(std::size(kModelNames));
static_assert(kNameTableBytes == 90);

constexpr std::array<uint8_t, kNameTableBytes> MakeNameTable() {
  std::array<uint8_t, kNameTableBytes> table{};
  size_t at = 0;
  for (const uint16_t word : kNameTableWords) {
    table[at++] = static_cast<uint8_t>(word);
    table[at++] = static_cast<uint8_t>(word >> 8);
  }
  for (const std::string_view name : kModelNames) {
    for (int i = 0; i < kModelNameField; ++i) {
      const size_t n = static_cast<size_t>(i);
      table[at + n] = i < kModelNameChars ? (n < name.size() ? static_cast<uint8_t>(name[n]) : ' ')
                                          : uint8_t{0};
    }
    at += kModelNameField;
  }
  return table;
}

inline constexpr std::array<uint8_t, kNameTableBytes> kNameTable = MakeNameTable();

}  // namespace composer
