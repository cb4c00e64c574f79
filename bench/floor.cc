// The floor for a run of the tool: the same thirteen inputs opened and read
// (each up to the count the tool takes from it), every byte of the image
// buffer filled, as the tool must produce every byte of the image, then the
// image written as the tool replaces one: a new file beside its final name,
// one write, flushed to the disk and renamed into place, with no composition.
// It links only the C library, as the tool does. bench/compare.sh measures
// the tool against it.
//
//   floor TAG
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "composer/input_set.h"
#include "d88/geometry.h"

namespace {

unsigned char g_image[d88::kImageBytes];

}  // namespace

int main(int argc, char* argv[]) {
  composer::InputFileNames names;
  if (argc != 2 || !composer::ComposeNames(argv[1], names)) return 1;
  std::fill(std::begin(g_image), std::end(g_image), 0xE5);  // no page written untouched
  for (int m = 0; m < composer::kInputCount; ++m) {
    const int fd = open(names[m], O_RDONLY);
    if (fd < 0 || read(fd, g_image + composer::kInputAt[m], composer::kBytesTaken[m]) < 0) return 1;
    close(fd);
  }
  const int out = open(".floor.d88.tmp", O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (out < 0 || write(out, g_image, d88::kImageBytes) != d88::kImageBytes || fsync(out) != 0 ||
      close(out) != 0)
    return 1;
  return std::rename(".floor.d88.tmp", "floor.d88") == 0 ? 0 : 1;
}
