#include "composer/composer.h"

#include <algorithm>

#include "composer/conversion.h"
#include "composer/name_table.h"

namespace composer {
namespace {

// A block's table sector: its 90-byte table, then zeros.
void TableSector(std::span<const uint8_t> table, Sector out) {
  const auto rest = std::copy(table.begin(), table.end(), out.begin());
  std::copy(kBlankSector + table.size(), std::end(kBlankSector), rest);
}

static_assert(CaptureAreas::kBBytes == kNameTableBytes);
static_assert(CaptureAreas::kABytes == kBytesTaken[kData1]);  // fills a block's data sectors

}  // namespace

void DiskComposer::PlacedContent(const Placement& p, int cylinder, int sector, Sector out) {
  const int within = sector - p.first_sector;  // sectors into the placement on this cylinder
  switch (p.content) {
    case Content::kInput: {
      const auto bytes = MemberBytes(inputs_, p.member + (cylinder - p.first_cylinder));
      std::copy_n(bytes.begin() + within * d88::kSectorBytes, d88::kSectorBytes, out.begin());
      break;
    }
    case Content::kConverted: {
      const int sectors_in = (cylinder - p.first_cylinder) * d88::kSectorsPerTrack + within;
      ConvertSector(SourceBytes(inputs_), window_offset_,
                    kImageFirst + static_cast<uint32_t>(sectors_in * d88::kSectorBytes), capture_,
                    out);
      break;
    }
    case Content::kCaptureTable:
      TableSector(capture_.b, out);
      break;
    case Content::kCaptureData:
      std::copy_n(capture_.a + within * d88::kSectorBytes, d88::kSectorBytes, out.begin());
      break;
    case Content::kNameTable:
      TableSector(kNameTable, out);
      break;
  }
}

}  // namespace composer
