// The page's driver: the core compiled to WebAssembly, what the page needs
// exported by name. The page writes the inputs' bytes and its texts (a file
// name, a tag, an offset) into the buffers here and calls the core, so that
// the input set, the offset's reading and the composition exist once. The
// module imports nothing: no file, clock or console.
#include <algorithm>
#include <cstdint>
#include <span>

#include "composer/composer.h"
#include "composer/input_set.h"
#include "d88/geometry.h"
#include "web/sha256.h"

namespace {

uint8_t g_inputs[composer::kInputBytes];
uint8_t g_image[d88::kImageBytes];
uint8_t g_digest[web::kDigestBytes];
char g_text[composer::kNameBuffer];  // UTF-8 from the page, NUL-terminated
composer::InputFileNames g_names;
composer::Recognised g_recognised;  // of the name last recognised, with its tag:
char g_tag[composer::kNameBuffer];

// Whether `m` is an input's index.
bool IsMember(int m) { return m >= 0 && m < composer::kInputCount; }

// Whether `m` is an input's index, and its name is completed by the tag.
bool Tagged(int m) { return IsMember(m) && composer::kInputNames[m].tagged; }

}  // namespace

// Exports take and give 32-bit integers; addresses are into the exported
// memory. An index that is no input's gives 0, or a null address.
extern "C" {

// The number of inputs.
[[clang::export_name("input_count")]] int InputCount() { return composer::kInputCount; }

// 1 when input m's name is completed by the tag, else 0.
[[clang::export_name("input_tagged")]] int InputTagged(int m) { return Tagged(m); }

// How many bytes the run takes from input m.
[[clang::export_name("bytes_taken")]] int BytesTaken(int m) {
  return IsMember(m) ? composer::kBytesTaken[m] : 0;
}

// The longest file name the command line composes, in bytes.
[[clang::export_name("name_limit")]] int NameLimit() { return composer::kNameBuffer - 1; }

// The byte the run takes for each byte past the end of an input.
[[clang::export_name("past_end")]] int PastEnd() { return composer::kPastEnd; }

// The address of the text buffer, where the page writes a file name, a tag or
// an offset text, NUL-terminated.
[[clang::export_name("text_buffer")]] char* TextBuffer() { return g_text; }

// The text buffer's size in bytes, its NUL included.
[[clang::export_name("text_capacity")]] int TextCapacity() { return sizeof g_text; }

// Composes every input's file name for the tag in the text buffer. Returns 1,
// or 0 for a tag that makes one longer than name_limit(), which the command
// line refuses; then input_name() is not to be used.
[[clang::export_name("compose_names")]] int ComposeNames() {
  return composer::ComposeNames(g_text, g_names);
}

// The address of input m's file name as last composed, NUL-terminated.
[[clang::export_name("input_name")]] const char* InputName(int m) {
  return IsMember(m) ? g_names[m] : nullptr;
}

// Which input the file name in the text buffer is: its index, or -1 for none.
// Then recognised_tag() is the tag it carries and recognised_case_only()
// whether it is the input's name only with ASCII letter case ignored.
[[clang::export_name("recognise")]] int Recognise() {
  g_recognised = composer::Recognise(g_text);
  *std::copy(g_recognised.tag.begin(), g_recognised.tag.end(), g_tag) = '\0';
  return g_recognised.member;
}

// The address of the tag the name last recognised carries, NUL-terminated;
// null for an untagged input or no input.
[[clang::export_name("recognised_tag")]] const char* RecognisedTag() {
  return Tagged(g_recognised.member) ? g_tag : nullptr;
}

// 1 when the name last recognised is the input's only with ASCII letter case
// ignored ("IPL1.BIN" for "ipl1.bin"), else 0.
[[clang::export_name("recognised_case_only")]] int RecognisedCaseOnly() {
  return g_recognised.case_only;
}

// The window offset the command line reads from the text buffer.
[[clang::export_name("window_offset")]] int32_t WindowOffset() {
  return composer::ParseWindowOffset(g_text);
}

// 1 when the command line reads all of the text buffer as a whole number,
// else 0: a text that the page refuses.
[[clang::export_name("offset_is_whole")]] int OffsetIsWhole() {
  return composer::IsWholeNumber(g_text);
}

// The first and the last window offset with which every entry of the patch
// table lands exactly once; outside them the page warns.
[[clang::export_name("exact_offsets_first")]] int32_t ExactOffsetsFirst() {
  return composer::kExactOffsetsFirst;
}

[[clang::export_name("exact_offsets_last")]] int32_t ExactOffsetsLast() {
  return composer::kExactOffsetsLast;
}

// The address of input m's share of the input buffer. The page copies the
// file's first bytes there, at most bytes_taken(m), then calls
// input_read(m, copied).
[[clang::export_name("input_share")]] uint8_t* InputShare(int m) {
  return IsMember(m) ? composer::Share(g_inputs, m).data() : nullptr;
}

// Ends input m's share after the `copied` bytes the page put there, as the
// command line does: past_end() for the rest.
[[clang::export_name("input_read")]] void InputRead(int m, int copied) {
  if (IsMember(m)) composer::EndShare(composer::Share(g_inputs, m), std::max(copied, 0));
}

// Composes the image from the input buffer with the window offset given, and
// its SHA-256. Returns the image's size in bytes; nothing can fail.
[[clang::export_name("compose_image")]] int ComposeImage(int32_t window_offset) {
  composer::ComposeImage(g_inputs, window_offset, g_image);
  web::Sha256(g_image, g_digest);
  return d88::kImageBytes;
}

// The address of the image last composed.
[[clang::export_name("image")]] const uint8_t* Image() { return g_image; }

// The address of the image's SHA-256, and its size in bytes.
[[clang::export_name("digest")]] const uint8_t* Digest() { return g_digest; }

[[clang::export_name("digest_bytes")]] int DigestBytes() { return web::kDigestBytes; }

}  // extern "C"
