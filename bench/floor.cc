// The floor for a run of the tool: the same thirteen inputs opened and read
// (each up to the count the tool takes from it), then the image written as
// the tool replaces one: a new file beside its final name, one write,
// flushed to the disk and renamed into place, with no composition at all.
// It links only the C library, as the tool does. bench/compare.sh measures
// the tool against it.
//
//   floor TAG
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace {

constexpr long kImageBytes = 348'848;
constexpr int kTaken[13] = {256,  768,  4096, 23552, 3584, 3584, 3584,
                            3584, 3584, 3584, 3584,  3584, 3584};
unsigned char g_image[kImageBytes];

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) return 1;
  char names[13][256];
  std::snprintf(names[0], 256, "ipl1.bin");
  std::snprintf(names[1], 256, "ipl2_%s.bin", argv[1]);
  std::snprintf(names[2], 256, "zemra80_prog_p6_%s.bin", argv[1]);
  std::snprintf(names[3], 256, "zemra80_org_%s.bin", argv[1]);
  for (int k = 1; k <= 9; ++k) std::snprintf(names[3 + k], 256, "data%d.bin", k);
  long at = 0;
  for (int m = 0; m < 13; ++m) {
    const int fd = open(names[m], O_RDONLY);
    if (fd < 0 || read(fd, g_image + at, kTaken[m]) < 0) return 1;
    close(fd);
    at += kTaken[m];
  }
  const int out = open(".floor.d88.tmp", O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (out < 0 || write(out, g_image, kImageBytes) != kImageBytes || fsync(out) != 0 ||
      close(out) != 0)
    return 1;
  return std::rename(".floor.d88.tmp", "floor.d88") == 0 ? 0 : 1;
}
