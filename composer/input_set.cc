#include "composer/input_set.h"

#include <algorithm>
#include <cstring>

namespace composer {
namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool Same(std::string_view a, std::string_view b, bool fold) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [fold](char x, char y) {
           return fold ? Lower(x) == Lower(y) : x == y;
         });
}

}  // namespace

bool ComposeNames(const char* tag, InputFileNames& names) {
  const std::size_t t = std::strlen(tag), c = sizeof kTaggedSuffix - 1;
  for (int m = 0; m < kInputCount; ++m) {
    const std::size_t p = std::strlen(kInputNames[m].text);
    char* out = names[m];
    if (p + (kInputNames[m].tagged ? t + c : 0) > kNameBuffer - 1) return false;
    std::memcpy(out, kInputNames[m].text, p + 1);
    if (!kInputNames[m].tagged) continue;
    std::memcpy(out + p, tag, t);
    std::memcpy(out + p + t, kTaggedSuffix, c + 1);
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
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  uint32_t value = 0;  // unsigned: wraps modulo 2^32 by definition
  for (; *p >= '0' && *p <= '9'; ++p) value = value * 10u + static_cast<uint32_t>(*p - '0');
  if (negative) value = 0u - value;
  return static_cast<int32_t>(value);  // modular conversion since C++20
}

}  // namespace composer
