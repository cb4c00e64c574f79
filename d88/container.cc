#include "d88/container.h"

#include <algorithm>

namespace d88 {
namespace {

void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace

void FillImageHeader(std::span<uint8_t, kImageHeaderBytes> out) {
  uint8_t* h = out.data();
  std::fill(out.begin(), out.end(), uint8_t{0});
  std::copy_n(kDiskName, sizeof kDiskName - 1, h + 0x00);  // disk name, rest of field zero
  static_assert(sizeof kDiskName - 1 < kDiskNameField);
  // 0x11-0x19: reserved, zero
  h[0x1A] = 0x00;                                                  // not write protected
  h[0x1B] = kMedia2DD;                                             // media type
  PutLe32(h + 0x1C, static_cast<uint32_t>(kImageBytes));           // image size
  for (int c = 0; c < kCylinders; ++c) {                           // side-0 tracks only;
    PutLe32(h + kTrackTableOffset + 4 * (c * 2), TrackOffset(c));  // the rest stay zero
  }
}

void FillSectorHeader(std::span<uint8_t, kSectorHeaderBytes> out, int cylinder, int sector) {
  uint8_t* s = out.data();
  s[0] = static_cast<uint8_t>(cylinder);  // C
  s[1] = 0;                               // H: side 0
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
