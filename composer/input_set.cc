#include "composer/input_set.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace composer {
namespace {

// Whether `a` and `b` are the same text, letter case ignored when `fold`:
// folded in the C locale, which both drivers keep, so ASCII letters only.
bool Same(std::string_view a, std::string_view b, bool fold) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [fold](unsigned char x, unsigned char y) {
           return fold ? std::tolower(x) == std::tolower(y) : x == y;
         });
}

// Whether `c` is white space that an offset's reading skips: the C locale's,
// ASCII only, whatever the locale.
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Whether `c` is a decimal digit, in ASCII whatever the locale.
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The first character of `text` that is not white space.
const char* SkipSpace(const char* text) {
  while (IsSpace(*text)) ++text;
  return text;
}

}  // namespace

bool ComposeNames(const char* tag, InputFileNames& names) {
  for (int m = 0; m < kInputCount; ++m) {
    const bool tagged = kInputNames[m].tagged;
    const std::string_view parts[] = {kInputNames[m].text, tagged ? tag : "",
                                      tagged ? kTaggedSuffix : ""};
    char* out = names[m];
    for (const std::string_view part : parts) {
      if (part.size() >= static_cast<std::size_t>(names[m] + kNameBuffer - out)) return false;
      out = std::copy(part.begin(), part.end(), out);  // and room left for the NUL
    }
    *out = '\0';
  }
  return true;
}

Recognised Recognise(std::string_view name) {
  const std::string_view suffix = kTaggedSuffix;
  for (const bool fold : {false, true}) {
    for (int m = 0; m < kInputCount; ++m) {
      const std::string_view text = kInputNames[m].text;
      if (!kInputNames[m].tagged) {
        if (Same(name, text, fold)) return {m, {}, fold};
      } else if (name.size() >= text.size() + suffix.size() &&
                 Same(name.substr(0, text.size()), text, fold) &&
                 Same(name.substr(name.size() - suffix.size()), suffix, fold)) {
        return {m, name.substr(text.size(), name.size() - text.size() - suffix.size()), fold};
      }
    }
  }
  return {};
}

std::span<uint8_t> Share(std::span<uint8_t, kInputBytes> inputs, int member) {
  return inputs.subspan(kInputAt[member], kBytesTaken[member]);
}

void EndShare(std::span<uint8_t> share, std::size_t read) {
  std::fill(share.begin() + std::min(read, share.size()), share.end(), kPastEnd);
}

int32_t ParseWindowOffset(const char* text) {
  const char* p = SkipSpace(text);
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  uint32_t value = 0;  // unsigned: wraps modulo 2^32 by definition
  for (; IsDigit(*p); ++p) value = value * 10u + static_cast<uint32_t>(*p - '0');
  if (negative) value = 0u - value;
  return static_cast<int32_t>(value);  // modular conversion since C++20
}

bool IsWholeNumber(const char* text) {
  const char* p = SkipSpace(text);
  if (*p == '+' || *p == '-') ++p;
  const char* const digits = p;
  while (IsDigit(*p)) ++p;
  return p != digits && *SkipSpace(p) == '\0';
}

}  // namespace composer
