// A run's two arguments as text, and the input file names: the version tag
// completes three of the thirteen names, and the window offset text gives
// the conversion its offset. Both drivers, the command line and the page,
// take them from here, so that one text means the same in either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "composer/layout.h"

namespace composer {

// Each input's file name, in opening order. A tagged name is a prefix, which
// the version tag and kTaggedSuffix complete.
struct InputName {
  const char* text;
  bool tagged;
};
// clang-format off
inline constexpr InputName kInputNames[] = {
    {"ipl1.bin",         false},
    {"ipl2_",            true},
    {"zemra80_prog_p6_", true},
    {"zemra80_org_",     true},
    {"data1.bin",        false},
    {"data2.bin",        false},
    {"data3.bin",        false},
    {"data4.bin",        false},
    {"data5.bin",        false},
    {"data6.bin",        false},
    {"data7.bin",        false},
    {"data8.bin",        false},
    {"data9.bin",        false},
};
// clang-format on
static_assert(std::size(kInputNames) == kInputCount);
inline constexpr char kTaggedSuffix[] = ".bin";

// A composed file name must fit this buffer with its terminating NUL.
inline constexpr std::size_t kNameBuffer = 256;

// Reads a window offset: C white space skipped,
// one optional sign, then decimal digits up to the first non-digit. Digits
// accumulate modulo 2^32 and the sign is applied last, so "4294967295" is -1;
// no digits give 0. Malformed text is never an error.
int32_t ParseWindowOffset(const char* text);

// Writes prefix + tag + kTaggedSuffix into `out`. False, leaving `out` empty,
// when the name would be longer than kNameBuffer - 1 characters.
bool ComposeTaggedName(const char* prefix, const char* tag, char (&out)[kNameBuffer]);

}  // namespace composer
