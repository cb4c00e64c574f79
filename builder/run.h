// The tool's one driver: arguments, the thirteen inputs and the output in
// their fixed order, the image header, and the sector loop.
#pragma once

#include <cstdint>
#include <cstdio>

#include "builder/streams.h"
#include "composer/composer.h"

namespace builder {

inline constexpr char kUsage[] = "Usage: gen_tarsilp6 v1|v2 offset\n";
inline constexpr char kOutputName[] = "zemra8p6.d88";

// Writes the whole image: the header, then every sector record in image
// order, its content taken from `sources` as the layout decides.
void WriteImage(const composer::Sources& sources, int32_t window_offset, OutputStream& out);

// Runs the tool in the current directory with argv[1..argc-1] as arguments;
// messages go to `err`. Returns the exit status: 0 after a complete image was
// written, 1 after a usage error or a failure to open, read, write or close a
// file. Never exits the process.
int Run(int argc, const char* const argv[], std::FILE* err);

}  // namespace builder
