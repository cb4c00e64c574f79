#include "builder/run.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "builder/arguments.h"
#include "builder/streams.h"
#include "composer/composer.h"
#include "d88/container.h"
#include "d88/geometry.h"

namespace builder {
namespace {

// The input set in opening order: file name (completed by the version tag
// when `tagged`) and how many bytes the run takes from it.
struct Member {
  const char* name;
  bool tagged;
  int bytes_taken;
};

// clang-format off
constexpr Member kMembers[] = {
    {"ipl1.bin",          false, composer::kLoader1Bytes},
    {"ipl2_",             true,  composer::kLoader2Bytes},
    {"zemra80_prog_p6_",  true,  composer::kProgramBytes},
    {"zemra80_org_",      true,  composer::kSourceBytes},
    {"data1.bin",         false, composer::kDataBytes},
    {"data2.bin",         false, composer::kDataBytes},
    {"data3.bin",         false, composer::kDataBytes},
    {"data4.bin",         false, composer::kDataBytes},
    {"data5.bin",         false, composer::kDataBytes},
    {"data6.bin",         false, composer::kDataBytes},
    {"data7.bin",         false, composer::kDataBytes},
    {"data8.bin",         false, composer::kDataBytes},
    {"data9.bin",         false, composer::kDataBytes},
};
// clang-format on
constexpr int kMemberCount = static_cast<int>(std::size(kMembers));
static_assert(kMemberCount == composer::kInputCount);

void Report(std::FILE* err, const char* name, int error) {
  std::fprintf(err, "%s: %s\n", name, std::strerror(error));
}

int Usage(std::FILE* err) {
  std::fputs(kUsage, err);
  return 1;
}

// Opens an input for binary reading. A directory opens on Linux but is no
// input: it is refused as EISDIR. Returns nullptr with errno set on failure.
std::FILE* OpenInput(const char* name) {
  std::FILE* f = std::fopen(name, "rb");
  if (f == nullptr) return nullptr;
  struct stat st;
  if (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::fclose(f);
    errno = EISDIR;
    return nullptr;
  }
  return f;
}

}  // namespace

void WriteImage(const composer::Sources& sources, int32_t window_offset, OutputStream& out) {
  uint8_t header[d88::kImageHeaderBytes];
  d88::FillImageHeader(header);
  out.Put(header);

  composer::DiskComposer composer(sources, window_offset);
  uint8_t record[d88::kSectorRecordBytes];
  const std::span<uint8_t, d88::kSectorRecordBytes> rec(record);
  for (int c = 0; c < d88::kCylinders; ++c) {
    for (int r = d88::kFirstSector; r < d88::kFirstSector + d88::kSectorsPerTrack; ++r) {
      d88::FillSectorHeader(rec.first<d88::kSectorHeaderBytes>(), c, r);
      composer.SectorContent(c, r, rec.last<d88::kSectorBytes>());
      out.Put(rec);
    }
  }
}

int Run(int argc, const char* const argv[], std::FILE* err) {
  if (argc != 3) return Usage(err);

  char names[kMemberCount][kNameBuffer];
  for (int i = 0; i < kMemberCount; ++i) {
    if (kMembers[i].tagged) {
      if (!ComposeTaggedName(kMembers[i].name, argv[1], names[i])) return Usage(err);
    } else {
      std::snprintf(names[i], kNameBuffer, "%s", kMembers[i].name);
    }
  }
  const int32_t window_offset = ParseWindowOffset(argv[2]);

  // Every input is opened before the output, so that a missing or unreadable
  // input never creates or truncates an existing image.
  std::array<InputStream, kMemberCount> inputs;
  for (int i = 0; i < kMemberCount; ++i) {
    std::FILE* f = OpenInput(names[i]);
    if (f == nullptr) {
      Report(err, names[i], errno);
      return 1;
    }
    inputs[i].Attach(f, static_cast<std::size_t>(kMembers[i].bytes_taken));
  }
  std::FILE* out_file = std::fopen(kOutputName, "wb");
  if (out_file == nullptr) {
    Report(err, kOutputName, errno);
    return 1;
  }
  OutputStream out;
  out.Attach(out_file);

  WriteImage(composer::SourcesInOpeningOrder(inputs), window_offset, out);

  // Inputs close in opening order, then the output. A read error would have
  // put 0xFF bytes where the input's own belong, and a failed write or close
  // leaves the image incomplete: either way the image is not good.
  int status = 0;
  for (int i = 0; i < kMemberCount; ++i) {
    inputs[i].Close();
    if (inputs[i].error() != 0) {
      Report(err, names[i], inputs[i].error());
      status = 1;
    }
  }
  if (const int error = out.Close(); error != 0) {
    Report(err, kOutputName, error);
    status = 1;
  }
  return status;
}

}  // namespace builder
