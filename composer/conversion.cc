#include "composer/conversion.h"

#include <algorithm>

namespace composer {

void ConvertSector(builder::InputStream& /*source*/, int32_t /*window_offset*/, int /*cylinder*/,
                   int /*sector*/, CaptureAreas& /*capture*/, Sector out) {
  // The conversion is not built yet: its sectors are blank.
  std::fill(out.begin(), out.end(), uint8_t{0});
}

}  // namespace composer
