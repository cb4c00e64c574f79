#include "builder/run.h"

#include <cerrno>
#include <cstring>

#include "composer/composer.h"
#include "composer/input_set.h"
#include "io/files.h"

namespace builder {

const char kVersion[] = GEN_TARSILP6_VERSION;

namespace {

constexpr char kUsage[] = "Usage: gen_tarsilp6 v1|v2 offset\n";
constexpr int kInputs = composer::kInputCount;

// The run's two buffers, in static storage rather than on the stack.
uint8_t g_inputs[composer::kInputBytes];
uint8_t g_image[d88::kImageBytes];

// What --help prints after the usage line.
constexpr char kHelp[] =
    "Writes zemra8p6.d88, a D88 floppy-disk image for the NEC PC-6001 family,\n"
    "from thirteen binary files in the current folder.\n"
    "\n"
    "  v1|v2    the version tag (any text), which completes three input names\n"
    "  offset   the window offset, a signed decimal integer that lines the patch\n"
    "           table up with that version's memory image\n"
    "\n"
    "Inputs, the bytes taken from each (0xFF for those missing) and where they go:\n"
    "  ipl1.bin                    256  cylinder 0, sector 1\n"
    "  ipl2_TAG.bin                768  cylinder 0, sectors 2 to 4\n"
    "  zemra80_prog_p6_TAG.bin   4,096  cylinder 1\n"
    "  zemra80_org_TAG.bin      23,552  cylinders 2 to 7, converted and patched\n"
    "  data1.bin ... data9.bin   3,584  each; data k: cylinder 8+k, sectors 3 to 16\n"
    "\n"
    "An existing zemra8p6.d88 is replaced once the new image is whole, or written\n"
    "over where it must stay the same file (other links, a device), once there is\n"
    "room for all of it.\n"
    "\n"
    "gen_tarsilp6 --help prints this text, gen_tarsilp6 --version the version.\n"
    "Manual page: man gen_tarsilp6 (on Windows, README.md beside the program).\n";

int Usage(std::FILE* err) {
  std::fputs(kUsage, err);
  return 1;
}

int Report(std::FILE* err, const char* name, int error) {
  std::fprintf(err, "%s: %s\n", name, io::ErrorText(error));
  return 1;
}

// Reports why the image could not be written, and a file the run made that it could not remove,
// so that it can be deleted by hand. Returns 1.
int ImageFailed(std::FILE* err, const io::ImageFile& image, int error) {
  Report(err, kOutputName, error);
  int left_error = 0;
  for (int n = 0; const char* left = image.LeftBehind(n, left_error); ++n)
    Report(err, left, left_error);
  return 1;
}

// Ends a --help or --version run, given what printing to `out` returned: 0
// once `out` has taken it all, else 1 with the reason (closed, or full).
int Printed(std::FILE* out, std::FILE* err, int printed) {
  if (printed >= 0 && std::fflush(out) == 0) return 0;
  return Report(err, "standard output", errno != 0 ? errno : EIO);
}

}  // namespace

int Run(int argc, const char* const argv[], std::FILE* out, std::FILE* err) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0)
    return Printed(out, err, std::fprintf(out, "%s%s", kUsage, kHelp));
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
    return Printed(out, err, std::fprintf(out, "gen_tarsilp6 %s\n", kVersion));
  if (argc != 3) return Usage(err);
  composer::InputFileNames names;
  if (!composer::ComposeNames(argv[1], names)) return Usage(err);
  const int32_t window_offset = composer::ParseWindowOffset(argv[2]);

  // Every input is opened before the image is touched, so that a missing or
  // unreadable input never creates, truncates or replaces an existing image.
  io::InputFile inputs[kInputs];
  for (int m = 0; m < kInputs; ++m)
    if (const int error = inputs[m].Open(names[m]); error != 0) return Report(err, names[m], error);
  // Each input is read once, from its first byte, never past what the run
  // takes from it; the rest of its share is 0xFF. Every input whose read
  // fails is reported, and then no image is written.
  int status = 0;
  for (int m = 0; m < kInputs; ++m) {
    const std::span<uint8_t> share = composer::Share(g_inputs, m);
    int error = 0;
    composer::EndShare(share, inputs[m].Read(share, error));
    if (error != 0) status = Report(err, names[m], error);
  }
  if (status != 0) return status;

  composer::ComposeImage(g_inputs, window_offset, g_image);
  io::ImageFile image;
  if (const int error = image.Open(kOutputName); error != 0) return ImageFailed(err, image, error);
  // Writing the image over one of the inputs would destroy that input: the
  // file opened as the image is compared with each input, still open.
  for (int m = 0; m < kInputs; ++m) {
    if (io::SameFile(image.id(), inputs[m].id())) {
      std::fprintf(err, "%s: same file as input %s\n", kOutputName, names[m]);
      return 1;
    }
  }
  if (const int error = image.Put(g_image); error != 0) return ImageFailed(err, image, error);
  return 0;
}

}  // namespace builder
