#include "composer/composer.h"

#include <algorithm>
#include <span>

#include "composer/conversion.h"
#include "composer/name_table.h"

namespace composer {
namespace {

static_assert(CaptureAreas::kBBytes == kNameTableBytes);      // both fill a block's table
static_assert(CaptureAreas::kABytes == kBytesTaken[kData1]);  // both fill its data sectors

// A block's table sector: its 90-byte table, then zeros.
void TableSector(std::span<const uint8_t> table, Sector out) {
  std::fill(std::copy(table.begin(), table.end(), out.begin()), out.end(), uint8_t{0});
}

}  // namespace

void DiskComposer::SectorContent(int cylinder, int sector, Sector out) {
  for (const Placement& p : kPlacements) {
    if (cylinder < p.first_cylinder || cylinder > p.last_cylinder || sector < p.first_sector ||
        sector > p.last_sector)
      continue;
    // Sectors into the placement, counting from its first cylinder.
    const int at = (cylinder - p.first_cylinder) * Sectors(p) + (sector - p.first_sector);
    switch (p.content) {
      case Content::kInput: {
        const int member = p.member + (cylinder - p.first_cylinder);
        const int within = (sector - p.first_sector) * d88::kSectorBytes;
        std::copy_n(inputs_.begin() + kInputAt[member] + within, d88::kSectorBytes, out.begin());
        return;
      }
      case Content::kConverted:
        ConvertSector(inputs_.subspan<kInputAt[kSource], kSourceBytes>(), window_offset_,
                      kImageFirst + static_cast<uint32_t>(at * d88::kSectorBytes), capture_, out);
        return;
      case Content::kCaptureTable:
        TableSector(capture_.b, out);
        return;
      case Content::kCaptureData:
        std::copy_n(capture_.a + at * d88::kSectorBytes, d88::kSectorBytes, out.begin());
        return;
      case Content::kNameTable:
        TableSector(kNameTable, out);
        return;
    }
  }
  std::fill(out.begin(), out.end(), uint8_t{0});  // no placement: blank
}

}  // namespace composer
