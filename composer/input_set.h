// The input set: the inputs' file names for a tag, which input a file name
// is, each input's share of the bytes composed, and the window offset read
// from its text. Both drivers, the command line and the page, take these from
// here, so that a name or a text means the same in either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string_view>

#include "composer/input_layout.h"

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
inline constexpr std::string_view kTaggedSuffix = ".bin";

// A composed file name must fit this buffer with its terminating NUL.
inline constexpr std::size_t kNameBuffer = 256;
using InputFileNames = char[kInputCount][kNameBuffer];

// Writes every input's file name for `tag` into `names`, in opening order.
// False when a tagged name would be longer than kNameBuffer - 1 characters:
// such a tag is refused, and `names` is not to be used.
bool ComposeNames(const char* tag, InputFileNames& names);

// Which input a file name is, letter case heeded; failing that, ignored and
// told apart: a file system that heeds case would not open it as the input.
struct Recognised {
  int member = -1;         // the input, or -1 for no input's name
  std::string_view tag;    // for a tagged input, the tag the name carries
  bool case_only = false;  // the name matches only with letter case ignored
};
Recognised Recognise(std::string_view name);

// Input `member`'s share of all inputs' bytes. A driver reads the file's
// first bytes into it, then ends it: the rest is kPastEnd, as past a file.
std::span<uint8_t> Share(std::span<uint8_t, kInputBytes> inputs, int member);
void EndShare(std::span<uint8_t> share, std::size_t read);

// Reads a window offset as the command line does: white space skipped (the C
// locale's, in ASCII: space, tab, line feed, vertical tab, form feed,
// carriage return), one optional sign, decimal digits up to the first
// non-digit, accumulated modulo 2^32, the sign applied last ("4294967295" is
// -1). No digits give 0; no text is an error.
int32_t ParseWindowOffset(const char* text);

// Whether ParseWindowOffset reads all of `text` as a whole number: white space
// as above, one optional sign, at least one decimal digit, then nothing but
// that white space. Any other text it reads only as far as it can ("12abc" as
// 12, "\u00A05" as 0), which the page refuses rather than guess.
bool IsWholeNumber(const char* text);

}  // namespace composer
