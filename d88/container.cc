#include "d88/container.h"

#include <algorithm>

namespace d88 {

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

}  // namespace d88
