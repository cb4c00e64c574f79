// The tool's one driver: arguments, the thirteen inputs in their fixed order,
// then the image, composed a block of tracks at a time and written out as a
// new file that takes the image's place only once it is whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "composer/layout.h"
#include "d88/geometry.h"
#include "io/files.h"

namespace builder {

inline constexpr char kUsage[] = "Usage: gen_tarsilp6 v1|v2 offset\n";
inline constexpr char kOutputName[] = "zemra8p6.d88";

// The input set in opening order, each name completed by the version tag
// when `tagged`.
struct MemberName {
  const char* name;
  bool tagged;
};
// clang-format off
inline constexpr MemberName kMemberNames[] = {
    {"ipl1.bin",         false},
    {"ipl2_",            true},
    {"zemra80_prog_p6_", true},
    {"zemra80_org_",     true},
    {"data1.bin",        false},
    {"data2.bin",        false},
    {"data3.bin",        false},
    {"data4.bin",        false},
    {"data5.bin",        false},
    {"data6.bin",        false},
    {"data7.bin",        false},
    {"data8.bin",        false},
    {"data9.bin",        false},
};
// clang-format on
static_assert(std::size(kMemberNames) == composer::kInputCount);

// The run's one buffer: a block of whole tracks with the image header in
// front. The image goes out a block at a time, the header with the first. A
// block this size stays in cache while it is composed, and a handful of
// writes cost less than first touching the pages of a buffer for the whole
// image.
inline constexpr int kBlockTracks = 20;  // four writes in all
inline constexpr std::size_t kBlockBytes = d88::kImageHeaderBytes + kBlockTracks * d88::kTrackBytes;
using Block = std::span<uint8_t, kBlockBytes>;

// Until the first block is composed, the inputs lie at its end: composing a
// cylinder writes the block only up to that cylinder's end, and every input
// byte that it or a later cylinder reads lies past there (checked in run.cc).
// The inputs then take no memory of their own, which spares a run about 2%.
inline constexpr std::size_t kInputsAt = kBlockBytes - composer::kInputBytes;
inline std::span<uint8_t, composer::kInputBytes> InputsIn(Block block) {
  return block.subspan<kInputsAt, composer::kInputBytes>();
}

// Writes the whole image to `out`: the header, then every sector record in
// image order, its content as the layout decides from the inputs that
// InputsIn(block) holds. The block's bytes, the inputs' among them, are
// overwritten.
void WriteImage(Block block, int32_t window_offset, io::ImageFile& out);

// Runs the tool in the current directory with argv[1..argc-1] as arguments;
// messages go to `err`. Returns the exit status: 0 after a complete image was
// put in place, 1 after a usage error, a failure to open or read an input, an
// image that is one of the inputs, or a failure to write the image. Never
// exits the process.
int Run(int argc, const char* const argv[], std::FILE* err);

}  // namespace builder
