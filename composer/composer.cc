#include "composer/composer.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <span>

#include "composer/conversion.h"
#include "composer/name_table.h"
#include "d88/container.h"

namespace composer {
namespace {

static_assert(CaptureAreas::kBBytes == kNameTableBytes);      // both fill a block's table
static_assert(CaptureAreas::kABytes == kBytesTaken[kData1]);  // both fill its data sectors

// The placement of every sector, or -1 where the disk is blank.
using PlacementMap = std::array<std::array<int8_t, d88::kSectorsPerTrack>, d88::kCylinders>;

// Not constexpr: reaching it while the map is built stops the build.
void SectorPlacedTwice() {}

constexpr PlacementMap MakePlacementMap() {
  PlacementMap map{};
  for (auto& track : map) track.fill(-1);
  for (std::size_t i = 0; i < std::size(kPlacements); ++i) {
    const Placement& p = kPlacements[i];
    for (int c = p.first_cylinder; c <= p.last_cylinder; ++c) {
      for (int r = p.first_sector; r <= p.last_sector; ++r) {
        int8_t& slot = map[c][r - d88::kFirstSector];
        if (slot != -1) SectorPlacedTwice();
        slot = static_cast<int8_t>(i);
      }
    }
  }
  return map;
}
constexpr PlacementMap kPlacementMap = MakePlacementMap();

// A block's table sector: its 90-byte table, then zeros.
void TableSector(std::span<const uint8_t> table, Sector out) {
  std::fill(std::copy(table.begin(), table.end(), out.begin()), out.end(), uint8_t{0});
}

}  // namespace

void DiskComposer::SectorContent(int cylinder, int sector, Sector out) {
  const int index = kPlacementMap[cylinder][sector - d88::kFirstSector];
  if (index < 0) {
    std::fill(out.begin(), out.end(), uint8_t{0});
    return;
  }
  const Placement& p = kPlacements[index];
  const int tracks_in = cylinder - p.first_cylinder;
  const int sectors_in = sector - p.first_sector;  // on this cylinder
  switch (p.content) {
    case Content::kInput: {
      const int at = kInputAt[p.member + tracks_in] + sectors_in * d88::kSectorBytes;
      std::copy_n(inputs_.begin() + at, d88::kSectorBytes, out.begin());
      break;
    }
    case Content::kConverted: {
      const int at = (tracks_in * Sectors(p) + sectors_in) * d88::kSectorBytes;
      ConvertSector(inputs_.subspan<kInputAt[kSource], kSourceBytes>(), window_offset_,
                    kImageFirst + at, capture_, out);
      break;
    }
    case Content::kCaptureTable:
      TableSector(capture_.b, out);
      break;
    case Content::kCaptureData:
      std::copy_n(capture_.a + sectors_in * d88::kSectorBytes, d88::kSectorBytes, out.begin());
      break;
    case Content::kNameTable:
      TableSector(kNameTable, out);
      break;
  }
}

void ComposeImage(InputBytes inputs, int32_t window_offset, Image image) {
  d88::FillImageHeader(image.first<d88::kImageHeaderBytes>());
  DiskComposer composer(inputs, window_offset);
  uint8_t* record = image.data() + d88::kImageHeaderBytes;  // sector records lie back to back
  for (int c = 0; c < d88::kCylinders; ++c) {
    for (int r = d88::kFirstSector; r < d88::kFirstSector + d88::kSectorsPerTrack; ++r) {
      d88::FillSectorHeader(d88::SectorHeader(record, d88::kSectorHeaderBytes), c, r);
      composer.SectorContent(c, r, Sector(record + d88::kSectorHeaderBytes, d88::kSectorBytes));
      record += d88::kSectorRecordBytes;
    }
  }
}

}  // namespace composer
