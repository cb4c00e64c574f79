// The memory-image conversion: cylinders 2 to 7 hold a 24 KB memory image for
// addresses 0x8000 to 0xDFFF, made byte by byte from the source image input.
#pragma once

#include <cstdint>

#include "builder/streams.h"
#include "composer/composer.h"

namespace composer {

// Fills sector `sector` of `cylinder` (2 to 7) of the converted image, taking
// its source bytes from `source` and storing the captured ones into `capture`.
void ConvertSector(builder::InputStream& source, int32_t window_offset, int cylinder, int sector,
                   CaptureAreas& capture, Sector out);

}  // namespace composer
