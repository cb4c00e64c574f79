#include "composer/composer.h"

#include <algorithm>

namespace composer {

void DiskComposer::SectorContent(int /*cylinder*/, int /*sector*/, Sector out) {
  // Sector content is not composed yet: every sector is blank.
  std::fill(out.begin(), out.end(), uint8_t{0});
}

}  // namespace composer
