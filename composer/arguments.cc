#include "composer/arguments.h"

#include <cstring>

namespace composer {

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

bool ComposeTaggedName(const char* prefix, const char* tag, char (&out)[kNameBuffer]) {
  const std::size_t a = std::strlen(prefix), b = std::strlen(tag), c = sizeof kTaggedSuffix - 1;
  out[0] = '\0';
  if (a + b + c > kNameBuffer - 1) return false;
  std::memcpy(out, prefix, a);
  std::memcpy(out + a, tag, b);
  std::memcpy(out + a + b, kTaggedSuffix, c + 1);
  return true;
}

}  // namespace composer
