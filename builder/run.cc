#include "builder/run.h"

#include <algorithm>
#include <cstring>

#include "composer/arguments.h"
#include "composer/composer.h"
#include "io/files.h"

namespace builder {
namespace {

// The input set, its names and the composition are the core's, shared with
// the page's driver.
using composer::ComposeImage;
using composer::ComposeTaggedName;
using composer::kNameBuffer;
using composer::kPastEnd;
using composer::ParseWindowOffset;
constexpr int kInputs = composer::kInputCount;

// The run's two buffers, in static storage rather than on the stack.
uint8_t g_inputs[composer::kInputBytes];
uint8_t g_image[d88::kImageBytes];

int Usage(std::FILE* err) {
  std::fputs(kUsage, err);
  return 1;
}

int Report(std::FILE* err, const char* name, int error) {
  std::fprintf(err, "%s: %s\n", name, std::strerror(error));
  return 1;
}

}  // namespace

int Run(int argc, const char* const argv[], std::FILE* err) {
  if (argc != 3) return Usage(err);
  char tagged_names[kInputs][kNameBuffer];
  const char* names[kInputs];
  for (int m = 0; m < kInputs; ++m) {
    names[m] = composer::kInputNames[m].text;
    if (!composer::kInputNames[m].tagged) continue;
    if (!ComposeTaggedName(names[m], argv[1], tagged_names[m])) return Usage(err);
    names[m] = tagged_names[m];
  }
  const int32_t window_offset = ParseWindowOffset(argv[2]);

  // Every input is opened before the image is touched, so that a missing or
  // unreadable input never creates, truncates or replaces an existing image.
  io::InputFile inputs[kInputs];
  for (int m = 0; m < kInputs; ++m)
    if (const int error = inputs[m].Open(names[m]); error != 0) return Report(err, names[m], error);
  // Writing the image over one of the inputs would destroy that input.
  const io::FileId image_id = io::IdOfPath(kOutputName);
  for (int m = 0; m < kInputs; ++m) {
    if (io::SameFile(image_id, inputs[m].id())) {
      std::fprintf(err, "%s: same file as input %s\n", kOutputName, names[m]);
      return 1;
    }
  }

  // Each input is read once, from its first byte, never past what the run
  // takes from it; the rest of its share is 0xFF. Every input whose read
  // fails is reported, and then no image is written.
  int status = 0;
  for (int m = 0; m < kInputs; ++m) {
    const std::span<uint8_t> share(g_inputs + composer::kInputAt[m], composer::kBytesTaken[m]);
    const io::ReadResult got = inputs[m].Read(share);
    std::fill(share.subspan(got.bytes).begin(), share.end(), kPastEnd);
    inputs[m].Close();
    if (got.error != 0) status = Report(err, names[m], got.error);
  }
  if (status != 0) return status;

  ComposeImage(g_inputs, window_offset, g_image);
  io::ImageFile image;
  int error = image.Open(kOutputName);
  if (error == 0) error = image.Put(g_image);
  return error == 0 ? 0 : Report(err, kOutputName, error);
}

}  // namespace builder
