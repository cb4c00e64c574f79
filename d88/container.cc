#include "d88/container.h"

#include <algorithm>

namespace d88 {
namespace {

static_assert(sizeof kDiskName - 1 < kDiskNameField.bytes);  // and at least one zero after it
constexpr uint8_t kNotWriteProtected = 0x00;
constexpr uint8_t kMedia2DD = 0x10;
constexpr uint8_t kDoubleDensity = 0x00;
constexpr uint8_t kNotDeleted = 0x00;
constexpr uint8_t kStatusNoError = 0x00;

// Writes `value` into field `f` of `header`, least significant byte first,
// byte by byte whatever the host's order.
void PutLe(uint8_t* header, Field f, uint32_t value) {
  for (int i = 0; i < f.bytes; ++i) header[f.at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// Zeros field `f` of `header`.
void PutZeros(uint8_t* header, Field f) {
  std::fill(header + f.at, header + f.at + f.bytes, uint8_t{0});
}

}  // namespace

void FillImageHeader(std::span<uint8_t, kImageHeaderBytes> out) {
  uint8_t* h = out.data();
  PutZeros(h, kDiskNameField);
  std::copy_n(kDiskName, sizeof kDiskName - 1, h + kDiskNameField.at);
  PutZeros(h, kReservedField);
  PutLe(h, kWriteProtectField, kNotWriteProtected);
  PutLe(h, kMediaTypeField, kMedia2DD);
  PutLe(h, kImageSizeField, kImageBytes);
  PutZeros(h, kTrackTableField);  // 0: no track (side 1, and the cylinders past the last)
  for (int c = 0; c < kCylinders; ++c) {
    PutLe(h, TrackEntryField(TrackEntry(c, kSide)), TrackOffset(c));
  }
}

void FillSectorHeader(SectorHeader out, int cylinder, int sector) {
  uint8_t* s = out.data();
  PutLe(s, kCylinderField, static_cast<uint32_t>(cylinder));
  PutLe(s, kHeadField, kSide);
  PutLe(s, kSectorField, static_cast<uint32_t>(sector));
  PutLe(s, kSizeCodeField, kSizeCode);
  PutLe(s, kSectorCountField, kSectorsPerTrack);
  PutLe(s, kDensityField, kDoubleDensity);
  PutLe(s, kDeletedField, kNotDeleted);
  PutLe(s, kStatusField, kStatusNoError);
  PutZeros(s, kSectorReservedField);
  PutLe(s, kDataSizeField, kSectorBytes);
}

}  // namespace d88
