// Writes a plainly synthetic input set for the tool into a directory, so that
// it can be run end to end without the users' own binaries. Each file is as
// long as the tool takes from it, and its byte at offset i is
// (i * 7 + the length of the file's name) & 0xFF: the reference input set for
// which the image's digest is known.
//
//   make_sample_inputs DIR TAG
#include <cstdio>
#include <string>

#include "composer/input_set.h"

int main(int argc, char* argv[]) {
  composer::InputFileNames names;
  if (argc != 3 || !composer::ComposeNames(argv[2], names)) {
    std::fputs("usage: make_sample_inputs DIR TAG\n", stderr);
    return 1;
  }
  for (int m = 0; m < composer::kInputCount; ++m) {
    const std::string name = names[m];
    std::FILE* f = std::fopen((std::string(argv[1]) + "/" + name).c_str(), "wb");
    for (int i = 0; f != nullptr && i < composer::kBytesTaken[m]; ++i)
      std::fputc((i * 7 + name.size()) & 0xFF, f);
    if (f == nullptr || std::fclose(f) != 0) {
      std::perror(name.c_str());
      return 1;
    }
  }
  return 0;
}
