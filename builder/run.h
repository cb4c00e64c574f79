// The tool's one driver: the arguments, the thirteen inputs read in their
// fixed order, the whole image composed in memory, and then the image file
// written in one go.
#pragma once

#include <cstdio>

namespace builder {

inline constexpr char kUsage[] = "Usage: gen_tarsilp6 v1|v2 offset\n";
inline constexpr char kOutputName[] = "zemra8p6.d88";
extern const char kVersion[];  // the project's, which the build names

// Runs the tool in the current directory with argv[1..argc-1] as arguments.
// A sole "--help" or "--version" prints to `out` and touches no file; every
// message goes to `err`. Returns the exit status: 0 after a complete image was
// put in place or the help or version was printed, 1 after a usage error, a
// failure to open or read an input, an image that is one of the inputs, a
// failure to write the image, or an `out` that cannot be written. Never exits
// the process.
int Run(int argc, const char* const argv[], std::FILE* out, std::FILE* err);

}  // namespace builder
