// The page's driver: the core compiled to WebAssembly, with what the page
// needs exported by name. The page writes each input's bytes and the texts
// it reads (a version tag, a window offset) into the buffers here and calls
// the core through these functions, so that the input set, the names, the
// offset's reading and the composition exist once, in the core. The module
// imports nothing: no file, clock or console, only the buffers it exports.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "composer/arguments.h"
#include "composer/composer.h"
#include "composer/conversion.h"
#include "composer/layout.h"
#include "d88/geometry.h"
#include "web/sha256.h"

namespace {

uint8_t g_inputs[composer::kInputBytes];
uint8_t g_image[d88::kImageBytes];
uint8_t g_digest[web::kDigestBytes];
char g_text[composer::kNameBuffer];  // UTF-8 from the page, NUL-terminated
char g_names[composer::kInputCount][composer::kNameBuffer];

bool IsMember(int m) { return m >= 0 && m < composer::kInputCount; }

}  // namespace

// Exported functions take and give 32-bit integers only; addresses are
// offsets into the exported memory.
extern "C" {

// The input set.
[[clang::export_name("input_count")]] int InputCount() { return composer::kInputCount; }
[[clang::export_name("input_name")]] const char* InputName(int m) {
  return IsMember(m) ? composer::kInputNames[m].text : nullptr;
}
[[clang::export_name("input_tagged")]] int InputTagged(int m) {
  return IsMember(m) && composer::kInputNames[m].tagged;
}
[[clang::export_name("bytes_taken")]] int BytesTaken(int m) {
  return IsMember(m) ? composer::kBytesTaken[m] : 0;
}
[[clang::export_name("tagged_suffix")]] const char* TaggedSuffix() {
  return composer::kTaggedSuffix;
}
[[clang::export_name("name_limit")]] int NameLimit() { return composer::kNameBuffer - 1; }
[[clang::export_name("past_end")]] int PastEnd() { return composer::kPastEnd; }

// The text buffer: the page writes a tag or an offset text here.
[[clang::export_name("text")]] char* Text() { return g_text; }
[[clang::export_name("text_capacity")]] int TextCapacity() { return sizeof g_text; }

// Composes every input's file name with the tag in the text buffer. False
// when a name would be longer than name_limit(), as the command line
// refuses such a tag.
[[clang::export_name("compose_names")]] int ComposeNames() {
  for (int m = 0; m < composer::kInputCount; ++m) {
    const composer::InputName& name = composer::kInputNames[m];
    if (!name.tagged) {
      std::memcpy(g_names[m], name.text, std::strlen(name.text) + 1);
    } else if (!composer::ComposeTaggedName(name.text, g_text, g_names[m])) {
      return 0;
    }
  }
  return 1;
}
[[clang::export_name("name")]] const char* Name(int m) {
  return IsMember(m) ? g_names[m] : nullptr;
}

// The window offset the command line reads from the text buffer.
[[clang::export_name("window_offset")]] int32_t WindowOffset() {
  return composer::ParseWindowOffset(g_text);
}
[[clang::export_name("exact_offsets_first")]] int32_t ExactOffsetsFirst() {
  return composer::ExactWindowOffsets().first;
}
[[clang::export_name("exact_offsets_last")]] int32_t ExactOffsetsLast() {
  return composer::ExactWindowOffsets().last;
}

// Where input m's share of the input buffer begins. The page copies the first
// bytes of the file there, at most bytes_taken(m), and then calls
// input_read(m, copied), which fills the rest of the share as the command
// line does past the end of a file.
[[clang::export_name("input_share")]] uint8_t* InputShare(int m) {
  return IsMember(m) ? g_inputs + composer::kInputAt[m] : nullptr;
}
[[clang::export_name("input_read")]] void InputRead(int m, int copied) {
  if (!IsMember(m)) return;
  const int taken = composer::kBytesTaken[m];
  uint8_t* share = g_inputs + composer::kInputAt[m];
  std::fill(share + std::clamp(copied, 0, taken), share + taken, composer::kPastEnd);
}

// Composes the image from the input buffer with the window offset given, and
// its SHA-256. Returns the image's size.
[[clang::export_name("compose")]] int Compose(int32_t window_offset) {
  composer::ComposeImage(g_inputs, window_offset, g_image);
  web::Sha256(g_image, g_digest);
  return d88::kImageBytes;
}
[[clang::export_name("image")]] const uint8_t* Image() { return g_image; }
[[clang::export_name("digest")]] const uint8_t* Digest() { return g_digest; }
[[clang::export_name("digest_bytes")]] int DigestBytes() { return web::kDigestBytes; }

}  // extern "C"
