// The patch table: bytes the memory-image conversion writes in place of
// source bytes, looked up by patch key. The bytes are Z80 code and data for
// the target machines: mostly CALL (CD lo hi) and JP (C3 lo hi) into the
// 0x70xx page, and one-byte RST instructions (CF, D7, DF, E7, EF).
//
// One row per run of consecutive keys: the first key, then one byte per key
// upward, as two hex digits. Keys 0x8DEE and 0x8DEF carry the relocated word
// W = 0x9577 - window offset instead of a constant; they are marked by the
// tokens "W-low" and "W-high".
#pragma once

#include <cstdint>
#include <iterator>
#include <string_view>

namespace composer {

struct PatchRow {
  uint16_t first_key;
  std::string_view bytes;  // space-separated tokens, one per key
};

inline constexpr std::string_view kWordLowToken = "W-low";
inline constexpr std::string_view kWordHighToken = "W-high";

// clang-format off
inline constexpr PatchRow kPatchRows[] = {
    {0x82E9, "CD 21 70 D8 3D C8 3D CC A0 83 C3 FF 82"},
    {0x834E, "CD 21 70 DA 82 83 3D CA 82 83 3D 20 04 E1 00 18 41"},
    {0x8370, "C3 77 83"},
    {0x8385, "C3 06 70"},
    {0x85AC, "D7 00"},
    {0x85C4, "D7 00"},
    {0x87D8, "D7 00"},
    {0x8814, "CD 1E 70 00 00 00 00"},
    {0x8826, "D7 00"},
    {0x8A0B, "CD 1B 70 18 07"},
    {0x8A1B, "CD 1E 70 00 00 00 00"},
    {0x8A78, "10"},
    {0x8A7C, "C3 03 70"},
    {0x8A8B, "20"},
    {0x8ADB, "A0"},
    {0x8ADD, "07"},
    {0x8AE0, "5F"},
    {0x8B15, "EF"},
    {0x8B1A, "EF"},
    {0x8B84, "A0"},
    {0x8BB8, "EF"},
    {0x8BBF, "EF"},
    {0x8C06, "57 0F 0F 82 6F 26 00 29 29 29 29 29 16 00 7B E6 FE 5F 00"},
    {0x8C1C, "20"},
    {0x8C70, "00"},
    {0x8C7E, "C3 0F 70"},
    {0x8DD5, "A0 0F"},
    {0x8DDF, "00 8F"},
    {0x8DE5, "48"},
    {0x8DE7, "50"},
    {0x8DEB, "3E 8F 32 W-low W-high 00 00 00 0D"},
    {0x8E17, "57 0F 0F 82 6F 26 00 29 29 29 29 29 16 00 7B E6 FE 5F 00"},
    {0x8EC3, "A0"},
    {0x8EC5, "07"},
    {0x8EC8, "5F"},
    {0x8EFE, "EF"},
    {0x8F03, "EF"},
    {0x8F6F, "A0"},
    {0x8FA6, "EF"},
    {0x8FAE, "EF"},
    {0x923F, "C3 30 70"},
    {0x92C8, "C3 33 70"},
    {0x9388, "7A 07 07 82 6F AF 67 29 29 29 29 29 57 CB 03 19"},
    {0x93AE, "00"},
    {0x9432, "C3 09 70 01 02 00 D1 7B 00 77 09 7A 00 77 09 D1 7B 00 77 09 7A 00 77 0E 9A 09 3A 73 70 3D 32 73 70 20 E0 C3 0C 70"},
    {0x946A, "E7"},
    {0x9471, "9E"},
    {0x947B, "E7"},
    {0x9575, "00 00 00 00 C3 24 70"},
    {0x95DD, "20"},
    {0x95E7, "10 00 00 00 00 00"},
    {0x9624, "04 00 00 00 00 00"},
    {0x9633, "08"},
    {0x98FD, "94"},
    {0x9908, "18"},
    {0x9922, "70"},
    {0x992D, "48"},
    {0x99B9, "DF 00"},
    {0x99BF, "9D"},
    {0x99C3, "DF 00"},
    {0x99C8, "E7 E7"},
    {0x9A44, "7F"},
    {0x9B0E, "D7 00"},
    {0x9B1E, "D7 00"},
    {0x9B38, "D7 00"},
    {0xA32A, "C3 36 70"},
    {0xA34E, "C3 2A 70"},
    {0xA375, "C3 2D 70"},
    {0xA383, "16 09"},
    {0xA39E, "C8 07"},
    {0xA3A2, "CA 07 CC 07"},
    {0xA3A8, "D4 07 D6 07"},
    {0xA3AE, "D8 07 90 06"},
    {0xA3B4, "30 07 70 08"},
    {0xA3BA, "10 09 C8 07"},
    {0xA3C0, "CA 07 CC 07"},
    {0xA3C6, "D4 07 D6 07"},
    {0xA3CC, "D8 07 90 06"},
    {0xA3D2, "30 07 70 08"},
    {0xA3D8, "10 09"},
    {0xA3E7, "20"},
    {0xA403, "CD 1B 70 18 07"},
    {0xA44A, "C3 18 70"},
    {0xA46D, "C3 15 70"},
    {0xA491, "41 21"},
    {0xA497, "41 31"},
    {0xA4A1, "CD 12 70 00"},
    {0xA4AA, "A0"},
    {0xA4B3, "41 21"},
    {0xA4B8, "8F"},
    {0xA4BD, "41 31"},
    {0xA4C2, "50"},
    {0xA4CB, "00"},
    {0xA9BC, "D7 00"},
    {0xA9C7, "00"},
    {0xA9EC, "CD 1B 70 18 07"},
    {0xAA76, "01"},
    {0xAA84, "CD 12 70 00 00 00"},
    {0xAA90, "A0"},
    {0xACA8, "C3 51 70"},
    {0xACC8, "C3 27 70"},
    {0xADBF, "C9"},
    {0xAE0F, "C9"},
    {0xAF28, "39 70"},
    {0xAF3B, "39 70"},
    {0xAF43, "00 E6 FF"},
    {0xAF4E, "D7 00"},
    {0xAF5E, "D7 00"},
    {0xAF80, "00 00"},
    {0xAFB1, "00 55 00 4E 00 4C 00 4F 00 43 00 4B"},
    {0xB0A7, "C3 1E 70"},
    {0xB617, "DF"},
    {0xB62A, "C3 3C 70"},
    {0xB7A4, "52 0D"},
    {0xB7A7, "CD 48 70 00"},
    {0xB7B5, "3A 0D"},
    {0xB7BC, "10"},
    {0xB7C6, "1A"},
    {0xB7D7, "06"},
    {0xB7DA, "CF 00"},
    {0xB7DD, "10"},
    {0xB9D4, "E0 0B"},
    {0xB9DF, "20 0D"},
    {0xBAFD, "80 70"},
    {0xBB07, "92 70"},
    {0xBB0E, "C3 54 70"},
    {0xBB2A, "CD 42 70 00 00 20"},
    {0xBBA3, "C3 45 70"},
    {0xBBD0, "CD 42 70 00"},
    {0xBBEA, "CD 42 70 00"},
    {0xBC0D, "CD 42 70 00"},
    {0xBC1F, "CD 42 70 00"},
    {0xBC2D, "3A 70 70 D6 30 20 08"},
    {0xBC3B, "C9 D8 FE 09 D0 4F 18 0D"},
    {0xBC63, "C3 4E 70"},
    {0xBD34, "3A 2C"},
    {0xBD3B, "3A 3C"},
    {0xBDB0, "EF"},
    {0xBDFE, "FF FF FF FF FF FF FF FF"},
    {0xBF47, "3F 70"},
    {0xBF50, "4B 70"},
};
// clang-format on
static_assert(std::size(kPatchRows) == 141);
// Keys in all, and keys below the shift window, which no row straddles.
inline constexpr int kPatchKeys = 465;
inline constexpr int kPatchKeysBelowWindow = 142;

}  // namespace composer
