// The tool's one driver: the arguments, the thirteen inputs read in their
// fixed order, the whole image composed in memory, and then the image file
// written in one go.
#pragma once

#include <cstdio>

namespace builder {

inline constexpr char kUsage[] = "Usage: gen_tarsilp6 v1|v2 offset\n";
inline constexpr char kOutputName[] = "zemra8p6.d88";

// Runs the tool in the current directory with argv[1..argc-1] as arguments;
// messages go to `err`. Returns the exit status: 0 after a complete image was
// put in place, 1 after a usage error, a failure to open or read an input, an
// image that is one of the inputs, or a failure to write the image. Never
// exits the process.
int Run(int argc, const char* const argv[], std::FILE* err);

}  // namespace builder
