// The D88 container: a 688-byte image header ending in the track table, then
// the tracks in order, each a run of sector records (16-byte sector header
// followed by the sector's data). Multi-byte fields are little-endian.
//
// The header comes before the first sector, so every field it carries is a
// constant of the fixed geometry.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>

#include "d88/geometry.h"

namespace d88 {

// A field of a header: where it begins, and how many bytes it has.
struct Field {
  int at;
  int bytes;
};

// The image header, one field a row.
// clang-format off
inline constexpr Field kDiskNameField     = {0x00, 17};  // disk name, ASCII, zero-padded
inline constexpr Field kReservedField     = {0x11,  9};  // reserved: zero
inline constexpr Field kWriteProtectField = {0x1A,  1};  // write protect (0x00: not protected)
inline constexpr Field kMediaTypeField    = {0x1B,  1};  // media type (0x10: 2DD)
inline constexpr Field kImageSizeField    = {0x1C,  4};  // image size in bytes
inline constexpr Field kTrackTableField   = {kTrackTableOffset,  // track table (TrackEntryField)
                                             kImageHeaderBytes - kTrackTableOffset};
// clang-format on

// The track table's entry `entry` (TrackEntry): its track's offset in the image, or 0 for none.
constexpr Field TrackEntryField(int entry) {
  return {kTrackTableField.at + kTrackEntryBytes * entry, kTrackEntryBytes};
}

// The sector header, one field a row.
// clang-format off
inline constexpr Field kCylinderField       = { 0, 1};  // C: cylinder
inline constexpr Field kHeadField           = { 1, 1};  // H: side
inline constexpr Field kSectorField         = { 2, 1};  // R: sector number
inline constexpr Field kSizeCodeField       = { 3, 1};  // N: size code
inline constexpr Field kSectorCountField    = { 4, 2};  // sectors in this track
inline constexpr Field kDensityField        = { 6, 1};  // density (0x00: double)
inline constexpr Field kDeletedField        = { 7, 1};  // deleted-data mark
inline constexpr Field kStatusField         = { 8, 1};  // status
inline constexpr Field kSectorReservedField = { 9, 5};  // reserved: zero
inline constexpr Field kDataSizeField       = {14, 2};  // data size in bytes
// clang-format on

// True when `fields` lie back to back from offset 0 and end at `bytes`.
constexpr bool Tiles(std::initializer_list<Field> fields, int bytes) {
  int at = 0;
  for (const Field& f : fields) {
    if (f.at != at) return false;
    at += f.bytes;
  }
  return at == bytes;
}
static_assert(Tiles({kDiskNameField, kReservedField, kWriteProtectField, kMediaTypeField,
                     kImageSizeField, kTrackTableField},
                    kImageHeaderBytes));
static_assert(Tiles({kCylinderField, kHeadField, kSectorField, kSizeCodeField, kSectorCountField,
                     kDensityField, kDeletedField, kStatusField, kSectorReservedField,
                     kDataSizeField},
                    kSectorHeaderBytes));

inline constexpr char kDiskName[] = "ZEMRA8p6";

// Fills the image header. Every byte of `out` is written; nothing can fail.
void FillImageHeader(std::span<uint8_t, kImageHeaderBytes> out);

// Fills the header of sector number `sector` (1 to 16) on `cylinder`. Every
// byte of `out` is written; nothing can fail.
using SectorHeader = std::span<uint8_t, kSectorHeaderBytes>;
void FillSectorHeader(SectorHeader out, int cylinder, int sector);

}  // namespace d88
