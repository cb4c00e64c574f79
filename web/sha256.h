// SHA-256 (FIPS 180-4), for the digest the page shows with the image: made
// here rather than by the browser's own, which a page opened from a file or
// served over plain HTTP may not be allowed to use.
#pragma once

#include <cstdint>
#include <span>

namespace web {

inline constexpr int kDigestBytes = 32;

// Writes the SHA-256 of `data` into `digest`. Nothing can fail.
void Sha256(std::span<const uint8_t> data, uint8_t (&digest)[kDigestBytes]);

}  // namespace web
