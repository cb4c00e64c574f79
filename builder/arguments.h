// The two command-line arguments: the version tag, which completes three
// input file names, and the window offset.
#pragma once

#include <cstddef>
#include <cstdint>

namespace builder {

// A composed file name must fit this buffer with its terminating NUL.
inline constexpr std::size_t kNameBuffer = 256;

// Reads a window offset: C white space skipped,
// one optional sign, then decimal digits up to the first non-digit. Digits
// accumulate modulo 2^32 and the sign is applied last, so "4294967295" is -1;
// no digits give 0. Malformed text is never an error.
int32_t ParseWindowOffset(const char* text);

// Writes prefix + tag + ".bin" into `out`. False, leaving `out` empty, when the
// name would be longer than kNameBuffer - 1 characters.
bool ComposeTaggedName(const char* prefix, const char* tag, char (&out)[kNameBuffer]);

}  // namespace builder
