#include "composer/arguments.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace composer {
namespace {

TEST(WindowOffset, ReadsSignedDecimalModulo2To32) {
  struct Case {
    const char* text;
    int32_t value;
  };
  const Case cases[] = {
      {"", 0},
      {"abc", 0},      // letters only
      {" -12x", -12},  // space, sign, digits, then a letter
      {"+7", 7},
      {"0x10", 0},  // only decimal digits count
      {"533", 533},
      {"-4096", -4096},
      {" \t\n\v\f\r5", 5},  // all C white space is skipped
      {"- 5", 0},           // nothing may stand between sign and digits
      {"+-5", 0},           // one sign only
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"2147483648", INT32_MIN},  // accumulated modulo 2^32
      {"4294967295", -1},
      {"4294967296", 0},
      {"-4294967295", 1},
      {"99999999999999999999", 1'661'992'959},  // 10^20 - 1 modulo 2^32
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseWindowOffset(c.text), c.value) << '"' << c.text << '"';
  }
}

TEST(TaggedName, FitsItsBufferOrIsRefused) {
  char out[kNameBuffer];
  std::memset(out, 'x', sizeof out);  // a buffer that held something before
  ASSERT_TRUE(ComposeTaggedName("ipl2_", "v1", out));
  EXPECT_STREQ(out, "ipl2_v1.bin");

  // The longest name that fits: 255 characters, prefix and ".bin" included.
  const std::string prefix = "zemra80_prog_p6_";
  const std::string fits(255 - prefix.size() - 4, 't');
  ASSERT_TRUE(ComposeTaggedName(prefix.c_str(), fits.c_str(), out));
  EXPECT_EQ(std::string(out).size(), 255u);
  EXPECT_FALSE(ComposeTaggedName(prefix.c_str(), (fits + "t").c_str(), out));
  EXPECT_STREQ(out, "");
}

}  // namespace
}  // namespace composer
