// The whole image composed in memory from the inputs' bytes, by whichever
// driver holds them: the memory image is converted first, from the source
// image's share, and then every sector is a copy from the buffer that its
// placement names (an input's share, the converted image, a capture area, the
// name table), or zeros.
#pragma once

#include <cstdint>
#include <span>

#include "composer/layout.h"
#include "d88/geometry.h"

namespace composer {

using Image = std::span<uint8_t, d88::kImageBytes>;

// The header, then every sector record in image order.
void ComposeImage(InputBytes inputs, int32_t window_offset, Image image);

}  // namespace composer
