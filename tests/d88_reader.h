// A small D88 reader of the tests' own, written from the container's layout
// rather than from the writer's code: it finds tracks through the track table
// and sectors through their headers, as any reader of such images would.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace testing_support {

// Checks that `image` is the 80-cylinder, single-sided, 16 x 256-byte-sector
// 2DD image named "ZEMRA8p6": header, track table and all 1,280 sector
// headers. Returns an empty string when it is, else what is wrong.
std::string CheckContainer(std::span<const uint8_t> image);

// The 256 data bytes of sector number `sector` on `cylinder`, located through
// the track table and the sector headers. Empty when not found.
std::span<const uint8_t> SectorData(std::span<const uint8_t> image, int cylinder, int sector);

}  // namespace testing_support
