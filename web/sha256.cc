#include "web/sha256.h"

#include <algorithm>
#include <cstring>

namespace web {
namespace {

constexpr int kBlockBytes = 64;

// The first 32 bits of the fractional parts of the cube roots of the first 64 primes.
// clang-format off
constexpr uint32_t kRound[64] = {
    0x428A2F98, 0x71374491, 0xB5C0FBCF, 0xE9B5DBA5, 0x3956C25B, 0x59F111F1, 0x923F82A4, 0xAB1C5ED5,
    0xD807AA98, 0x12835B01, 0x243185BE, 0x550C7DC3, 0x72BE5D74, 0x80DEB1FE, 0x9BDC06A7, 0xC19BF174,
    0xE49B69C1, 0xEFBE4786, 0x0FC19DC6, 0x240CA1CC, 0x2DE92C6F, 0x4A7484AA, 0x5CB0A9DC, 0x76F988DA,
    0x983E5152, 0xA831C66D, 0xB00327C8, 0xBF597FC7, 0xC6E00BF3, 0xD5A79147, 0x06CA6351, 0x14292967,
    0x27B70A85, 0x2E1B2138, 0x4D2C6DFC, 0x53380D13, 0x650A7354, 0x766A0ABB, 0x81C2C92E, 0x92722C85,
    0xA2BFE8A1, 0xA81A664B, 0xC24B8B70, 0xC76C51A3, 0xD192E819, 0xD6990624, 0xF40E3585, 0x106AA070,
    0x19A4C116, 0x1E376C08, 0x2748774C, 0x34B0BCB5, 0x391C0CB3, 0x4ED8AA4A, 0x5B9CCA4F, 0x682E6FF3,
    0x748F82EE, 0x78A5636F, 0x84C87814, 0x8CC70208, 0x90BEFFFA, 0xA4506CEB, 0xBEF9A3F7, 0xC67178F2,
};
// The first 32 bits of the fractional parts of the square roots of the first 8 primes.
constexpr uint32_t kInitial[8] = {
    0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A, 0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19,
};
// clang-format on

// `x` rotated right by `n` bits.
constexpr uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// Adds the 64-byte block at `p` to the hash state `h`.
void Block(const uint8_t* p, uint32_t (&h)[8]) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i)
    w[i] = uint32_t{p[4 * i]} << 24 | uint32_t{p[4 * i + 1]} << 16 | uint32_t{p[4 * i + 2]} << 8 |
           p[4 * i + 3];  // big-endian words
  for (int i = 16; i < 64; ++i) {
    const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
  for (int i = 0; i < 64; ++i) {
    const uint32_t t1 =
        k + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
    const uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    k = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
  h[5] += f;
  h[6] += g;
  h[7] += k;
}

}  // namespace

void Sha256(std::span<const uint8_t> data, uint8_t (&digest)[kDigestBytes]) {
  uint32_t h[8];
  std::copy_n(kInitial, 8, h);
  std::size_t at = 0;
  for (; data.size() - at >= kBlockBytes; at += kBlockBytes) Block(data.data() + at, h);
  // The last block or two: the rest of the data, a 1 bit, zeros, and the
  // length in bits as a big-endian 64-bit number.
  uint8_t tail[2 * kBlockBytes] = {};
  const std::size_t rest = data.size() - at;
  std::memcpy(tail, data.data() + at, rest);
  tail[rest] = 0x80;
  const int tail_bytes = rest + 9 > kBlockBytes ? 2 * kBlockBytes : kBlockBytes;
  const uint64_t bits = uint64_t{data.size()} * 8;
  for (int i = 0; i < 8; ++i) tail[tail_bytes - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
  for (int i = 0; i < tail_bytes; i += kBlockBytes) Block(tail + i, h);
  for (int i = 0; i < kDigestBytes; ++i)
    digest[i] = static_cast<uint8_t>(h[i / 4] >> (24 - 8 * (i % 4)));
}

}  // namespace web
