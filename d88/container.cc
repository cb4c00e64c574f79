#include "d88/container.h"

#include <algorithm>

namespace d88 {
namespace {

constexpr int kDiskNameField = 17;
static_assert(sizeof kDiskName - 1 < kDiskNameField);
constexpr uint8_t kMedia2DD = 0x10;
constexpr uint8_t kDoubleDensity = 0x00;

// Little-endian fields, byte by byte whatever the host's order.
void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void PutLe32(uint8_t* p, uint32_t v) {
  PutLe16(p, static_cast<uint16_t>(v));
  PutLe16(p + 2, static_cast<uint16_t>(v >> 16));
}

}  // namespace

void FillImageHeader(std::span<uint8_t, kImageHeaderBytes> out) {
  uint8_t* h = out.data();
  std::fill(out.begin(), out.end(), uint8_t{0});           // reserved fields stay zero
  std::copy_n(kDiskName, sizeof kDiskName - 1, h + 0x00);  // disk name, zero-padded
  h[0x1A] = 0x00;                                          // not write protected
  h[0x1B] = kMedia2DD;                                     // media type
  PutLe32(h + 0x1C, kImageBytes);                          // image size
  for (int c = 0; c < kCylinders; ++c) {                   // track table: side 0 only,
    const int entry = TrackEntry(c, kSide);                // every other entry zero
    PutLe32(h + kTrackTableOffset + kTrackEntryBytes * entry, TrackOffset(c));
  }
}

void FillSectorHeader(SectorHeader out, int cylinder, int sector) {
  uint8_t* s = out.data();
  s[0] = static_cast<uint8_t>(cylinder);  // C
  s[1] = kSide;                           // H
  s[2] = static_cast<uint8_t>(sector);    // R
  s[3] = kSizeCode;                       // N
  PutLe16(s + 4, kSectorsPerTrack);       // sectors in this track
  s[6] = kDoubleDensity;                  // density
  s[7] = 0x00;                            // not deleted data
  s[8] = 0x00;                            // status: no error
  std::fill(s + 9, s + 14, uint8_t{0});   // reserved
  PutLe16(s + 14, kSectorBytes);          // data size
}

}  // namespace d88
