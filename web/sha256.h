// SHA-256, for the digest the page shows beside the image it offers. The
// page computes it here rather than through the browser's own crypto, which
// a page served over plain HTTP may not use.
#pragma once

#include <cstdint>
#include <span>

namespace web {

inline constexpr int kDigestBytes = 32;

void Sha256(std::span<const uint8_t> data, std::span<uint8_t, kDigestBytes> digest);

}  // namespace web
