#include "builder/run.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "builder/arguments.h"
#include "composer/composer.h"
#include "d88/container.h"
#include "io/files.h"

namespace builder {
namespace {

// Taken in place of every byte past the end of an input.
constexpr uint8_t kPastEnd = 0xFF;

void Report(std::FILE* err, const char* name, int error) {
  std::fprintf(err, "%s: %s\n", name, std::strerror(error));
}

int Usage(std::FILE* err) {
  std::fputs(kUsage, err);
  return 1;
}

static_assert(d88::kCylinders % kBlockTracks == 0);

// Composing never overwrites an input byte before its last reader is done.
constexpr bool InputsOutliveTheirReaders() {
  for (int c = 0; c < d88::kCylinders; ++c) {
    const int first = composer::FirstInputByteReadOn(c);
    if (first == composer::kInputBytes) continue;
    const auto track_end =
        static_cast<std::size_t>(d88::kImageHeaderBytes + (c + 1) * d88::kTrackBytes);
    if (c >= kBlockTracks || kInputsAt + static_cast<std::size_t>(first) < track_end) return false;
  }
  return true;
}
static_assert(InputsOutliveTheirReaders());

}  // namespace

void WriteImage(Block block, int32_t window_offset, io::ImageFile& out) {
  // The header lies just before the tracks, so that every block puts a
  // cylinder in the same slot; it goes out with the first block only.
  d88::FillImageHeader(block.first<d88::kImageHeaderBytes>());
  uint8_t* const tracks = block.data() + d88::kImageHeaderBytes;
  const uint8_t* block_start = block.data();
  // Most of the disk is blank tracks, which differ from each other only in
  // their cylinder numbers: a slot that held one in the last block takes the
  // next by renumbering.
  bool slot_blank[kBlockTracks] = {};
  composer::DiskComposer composer(InputsIn(block), window_offset);
  for (int c = 0; c < d88::kCylinders; ++c) {
    const int slot = c % kBlockTracks;
    uint8_t* const track = tracks + slot * d88::kTrackBytes;
    const auto whole_track = std::span<uint8_t, d88::kTrackBytes>(track, d88::kTrackBytes);
    if (composer::kBlankTrack[c] && slot_blank[slot]) {
      d88::RenumberTrack(whole_track, c);
    } else {
      uint8_t* record = track;  // records lie back to back in image order
      for (int r = d88::kFirstSector; r < d88::kFirstSector + d88::kSectorsPerTrack; ++r) {
        d88::FillSectorHeader(
            std::span<uint8_t, d88::kSectorHeaderBytes>(record, d88::kSectorHeaderBytes), c, r);
        composer.SectorContent(
            c, r, composer::Sector(record + d88::kSectorHeaderBytes, d88::kSectorBytes));
        record += d88::kSectorRecordBytes;
      }
      slot_blank[slot] = composer::kBlankTrack[c];
    }
    if (slot == kBlockTracks - 1) {
      out.Write(std::span<const uint8_t>(block_start, track + d88::kTrackBytes));
      block_start = tracks;
    }
  }
}

int Run(int argc, const char* const argv[], std::FILE* err) {
  if (argc != 3) return Usage(err);

  constexpr int kInputs = composer::kInputCount;
  char tagged_names[kInputs][kNameBuffer];
  const char* names[kInputs];
  for (int m = 0; m < kInputs; ++m) {
    names[m] = kMemberNames[m].name;
    if (kMemberNames[m].tagged) {
      if (!ComposeTaggedName(kMemberNames[m].name, argv[1], tagged_names[m])) return Usage(err);
      names[m] = tagged_names[m];
    }
  }
  const int32_t window_offset = ParseWindowOffset(argv[2]);

  // Every input is opened before the image is touched, so that a missing or
  // unreadable input never creates, truncates or replaces an existing image.
  std::array<io::InputFile, kInputs> inputs;
  for (int m = 0; m < kInputs; ++m) {
    if (const int error = inputs[m].Open(names[m]); error != 0) {
      Report(err, names[m], error);
      return 1;
    }
  }
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
  uint8_t block[kBlockBytes];
  const auto input_bytes = InputsIn(block);
  bool read_failed = false;
  for (int m = 0; m < kInputs; ++m) {
    const auto share = input_bytes.subspan(static_cast<std::size_t>(composer::kInputAt[m]),
                                           static_cast<std::size_t>(composer::kBytesTaken[m]));
    const io::ReadResult got = inputs[m].Read(share);
    std::fill(share.begin() + static_cast<std::ptrdiff_t>(got.bytes), share.end(), kPastEnd);
    inputs[m].Close();
    if (got.error != 0) {
      Report(err, names[m], got.error);
      read_failed = true;
    }
  }
  if (read_failed) return 1;

  io::ImageFile image;
  int error = image.Open(kOutputName);
  if (error == 0) {
    WriteImage(block, window_offset, image);
    error = image.Commit();
  }
  if (error != 0) {
    Report(err, kOutputName, error);
    return 1;
  }
  return 0;
}

}  // namespace builder
