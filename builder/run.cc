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

// The image goes out in blocks of whole tracks, the first led by the image
// header. A block this size stays in cache while it is composed, and a
// handful of writes cost less than first touching the pages of a buffer for
// the whole image.
constexpr int kBlockTracks = 20;  // four writes in all
static_assert(d88::kCylinders % kBlockTracks == 0);

}  // namespace

void WriteImage(composer::InputBytes inputs, int32_t window_offset, io::ImageFile& out) {
  // The header lies just before the tracks, so that every block puts a
  // cylinder in the same slot; it goes out with the first block only.
  uint8_t block[d88::kImageHeaderBytes + kBlockTracks * d88::kTrackBytes];
  d88::FillImageHeader(std::span(block).first<d88::kImageHeaderBytes>());
  uint8_t* const tracks = block + d88::kImageHeaderBytes;
  const uint8_t* block_start = block;
  // Most of the disk is blank tracks, which differ from each other only in
  // their cylinder numbers: a slot that held one in the last block takes the
  // next by renumbering.
  bool slot_blank[kBlockTracks] = {};
  composer::DiskComposer composer(inputs, window_offset);
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
  uint8_t input_bytes[composer::kInputBytes];
  bool read_failed = false;
  for (int m = 0; m < kInputs; ++m) {
    const auto share = std::span(input_bytes)
                           .subspan(static_cast<std::size_t>(composer::kInputAt[m]),
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
    WriteImage(input_bytes, window_offset, image);
    error = image.Commit();
  }
  if (error != 0) {
    Report(err, kOutputName, error);
    return 1;
  }
  return 0;
}

}  // namespace builder
