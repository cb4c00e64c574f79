// The page's driver: the core compiled to WebAssembly, with what the page
// needs exported by name. The page writes each input's bytes and the texts
// it reads (a version tag, a window offset) into the buffers here and calls
// the core through these functions, so that the input set, the names, the
// offset's reading and the composition exist once, in the core. The module
// imports nothing: no file, clock or console, only the buffers it exports.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "composer/composer.h"
#include "composer/conversion.h"
#include "composer/input_set.h"
#include "d88/geometry.h"
#include "web/sha256.h"

namespace {

uint8_t g_inputs[composer::kInputBytes];
uint8_t g_image[d88::kImageBytes];
uint8_t g_digest[web::kDigestBytes];
char g_text[composer::kNameBuffer];  // UTF-8 from the page, NUL-terminated
composer::InputFileNames g_names;
// Of the name last recognised: its tag (for a tagged input, else null), and
// whether it matched with letter case ignored.
char g_tag[composer::kNameBuffer];
const char* g_recognised_tag = nullptr;
bool g_case_only = false;

bool IsMember(int m) { return m >= 0 && m < composer::kInputCount; }

}  // namespace

// Exported functions take and give 32-bit integers only; addresses are
// offsets into the exported memory.
extern "C" {

// The input set.
[[clang::export_name("input_count")]] int InputCount() { return composer::kInputCount; }
[[clang::export_name("input_tagged")]] int InputTagged(int m) {
  return IsMember(m) && composer::kInputNames[m].tagged;
}
[[clang::export_name("bytes_taken")]] int BytesTaken(int m) {
  return IsMember(m) ? composer::kBytesTaken[m] : 0;
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
  return composer::ComposeNames(g_text, g_names);
}
[[clang::export_name("name")]] const char* Name(int m) {
  return IsMember(m) ? g_names[m] : nullptr;
}

// Which input a file name is. The page writes the name into the text buffer
// and calls recognise(), which returns the input's member index, or -1 for a
// name that is no input's. After a member is returned, recognised_tag() is
// the tag the name carries, NUL-terminated (for a tagged input; 0 for the
// others), and recognised_case_only() is 1 when the name is the input's only
// with ASCII letter case ignored ("IPL1.BIN" for "ipl1.bin"), else 0.
[[clang::export_name("recognise")]] int Recognise() {
  const composer::Recognised r = composer::Recognise(g_text);
  *std::copy(r.tag.begin(), r.tag.end(), g_tag) = '\0';  // shorter than the name
  g_recognised_tag = IsMember(r.member) && composer::kInputNames[r.member].tagged ? g_tag : nullptr;
  g_case_only = r.case_only;
  return r.member;
}
[[clang::export_name("recognised_tag")]] const char* RecognisedTag() { return g_recognised_tag; }
[[clang::export_name("recognised_case_only")]] int RecognisedCaseOnly() { return g_case_only; }

// The window offset the command line reads from the text buffer.
[[clang::export_name("window_offset")]] int32_t WindowOffset() {
  return composer::ParseWindowOffset(g_text);
}
[[clang::export_name("exact_offsets_first")]] int32_t ExactOffsetsFirst() {
  return composer::kExactOffsetsFirst;
}
[[clang::export_name("exact_offsets_last")]] int32_t ExactOffsetsLast() {
  return composer::kExactOffsetsLast;
}

// Where input m's share of the input buffer begins. The page copies the first
// bytes of the file there, at most bytes_taken(m), and then calls
// input_read(m, copied), which fills the rest of the share as the command
// line does past the end of a file.
[[clang::export_name("input_share")]] uint8_t* InputShare(int m) {
  return IsMember(m) ? g_inputs + composer::kInputAt[m] : nullptr;
}
[[clang::export_name("input_read")]] void InputRead(int m, int copied) {
  if (IsMember(m))
    composer::EndShare(composer::Share(g_inputs, m), static_cast<std::size_t>(std::max(copied, 0)));
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
