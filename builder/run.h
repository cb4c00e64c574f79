// The command line's driver: the arguments, the inputs read in their order,
// the image composed in memory and then written in one go.
#pragma once

#include <cstdio>

namespace builder {

inline constexpr char kOutputName[] = "zemra8p6.d88";
extern const char kVersion[];  // the project's, which the build names

// Runs the tool in the current folder with argv[1..argc-1] as arguments; a
// sole "--help" or "--version" prints to `out` and touches no file. Every
// message goes to `err`. Returns the exit status, 0 or 1; never exits.
int Run(int argc, const char* const argv[], std::FILE* out, std::FILE* err);

}  // namespace builder
