#include "composer/composer.h"

#include <algorithm>

#include "composer/conversion.h"
#include "composer/name_table.h"

namespace composer {
namespace {

// A block's table sector: its 90-byte table, then zeros.
void TableSector(std::span<const uint8_t> table, Sector out) {
  const auto rest = std::copy(table.begin(), table.end(), out.begin());
  std::fill(rest, out.end(), uint8_t{0});
}

static_assert(CaptureAreas::kBBytes == kNameTableBytes);

}  // namespace

void DiskComposer::SectorContent(int cylinder, int sector, Sector out) {
  const int data_sector = sector - 1 - kTableSectors;  // 0-based within a block's data
  if (cylinder == kLoaderCylinder && sector == 1) {
    sources_.loader1->Take(out);
  } else if (cylinder == kLoaderCylinder && sector <= kLoader2LastSector) {
    sources_.loader2->Take(out);
  } else if (cylinder == kProgramCylinder) {
    sources_.program->Take(out);
  } else if (cylinder >= kImageFirstCylinder && cylinder <= kImageLastCylinder) {
    ConvertSector(*sources_.source, window_offset_, cylinder, sector, capture_, out);
  } else if (cylinder == kCaptureCylinder) {
    // Produced after cylinders 2 to 7, so every capture has happened.
    if (data_sector < 0) {
      TableSector(capture_.b, out);
    } else {
      const uint8_t* from = capture_.a + data_sector * d88::kSectorBytes;
      std::copy(from, from + d88::kSectorBytes, out.begin());
    }
  } else if (cylinder >= kDataFirstCylinder && cylinder <= kDataLastCylinder) {
    if (data_sector < 0) {
      TableSector(kNameTable, out);
    } else {
      sources_.data[cylinder - kDataFirstCylinder]->Take(out);
    }
  } else {
    std::fill(out.begin(), out.end(), uint8_t{0});  // the rest of the disk is blank
  }
}

}  // namespace composer
