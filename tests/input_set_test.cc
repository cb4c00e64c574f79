#include "composer/input_set.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "tests/test_files.h"

namespace composer {
namespace {

// The value read, and whether the text is read whole: the page refuses one that is not.
TEST(WindowOffset, ReadsSignedDecimalModulo2To32) {
  struct Case {
    const char* text;
    int32_t value;
    bool whole;
  };
  const Case cases[] = {
      {"", 0, false},
      {"abc", 0, false},      // letters only
      {" -12x", -12, false},  // space, sign, digits, then a letter
      {"+7", 7, true},
      {"0x10", 0, false},  // only decimal digits count
      {"533", 533, true},
      {"-4096", -4096, true},
      {" \t\n\v\f\r5 \t", 5, true},  // all C white space is skipped, and may follow
      {"\u00A05", 0, false},         // no-break space: no C white space, so no digits
      {"\uFEFF5", 0, false},         // nor the byte order mark,
      {"\u30005", 0, false},         // the ideographic space
      {"\u20285", 0, false},         // or the line separator
      {"5\u00A0", 5, false},
      {"- 5", 0, false},  // nothing may stand between sign and digits
      {"+-5", 0, false},  // one sign only
      {"2147483647", INT32_MAX, true},
      {"-2147483648", INT32_MIN, true},
      {"2147483648", INT32_MIN, true},  // accumulated modulo 2^32
      {"4294967295", -1, true},
      {"4294967296", 0, true},
      {"-4294967295", 1, true},
      {"99999999999999999999", 1'661'992'959, true},  // 10^20 - 1 modulo 2^32
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseWindowOffset(c.text), c.value) << '"' << c.text << '"';
    EXPECT_EQ(IsWholeNumber(c.text), c.whole) << '"' << c.text << '"';
  }
}

// The names for a tag: three completed by it, the longest that fits 255
// characters taken, one longer refused.
TEST(InputNames, ComposedForATagOrRefused) {
  InputFileNames names;
  ASSERT_TRUE(ComposeNames("v1", names));
  const std::vector<std::string> expected = testing_support::InputNames("v1");  // the tests' own
  for (int m = 0; m < kInputCount; ++m) EXPECT_EQ(names[m], expected[m]);

  // "zemra80_prog_p6_" + tag + ".bin" is the longest tagged name.
  const std::string fits(255 - 16 - 4, 't');
  ASSERT_TRUE(ComposeNames(fits.c_str(), names));
  EXPECT_EQ(std::string(names[kProgram]).size(), 255u);
  EXPECT_FALSE(ComposeNames((fits + "t").c_str(), names));
}

// Which input a name is: its member, the tag it carries, whether it matches
// only with letter case ignored.
TEST(InputNames, RecognisedByName) {
  const std::tuple<const char*, int, const char*, bool> rows[] = {
      {"ipl1.bin", kLoader1, "", false},
      {"zemra80_org_v2.bin", kSource, "v2", false},
      {"ipl2_.bin", kLoader2, "", false},                   // the empty tag
      {"zemra80_prog_p6_V.b.bin", kProgram, "V.b", false},  // a tag is any text
      {"IPL1.BIN", kLoader1, "", true},
      {"Data2.bin", kData1 + 1, "", true},
      {"ZEMRA80_ORG_v1.Bin", kSource, "v1", true},
      {"data10.bin", -1, "", false},
      {"zemra80_org.bin", -1, "", false},  // shorter than its prefix and suffix
  };
  for (const auto& [name, member, tag, case_only] : rows) {
    const Recognised r = Recognise(name);
    EXPECT_TRUE(r.member == member && r.tag == tag && r.case_only == case_only) << name;
  }
}

}  // namespace
}  // namespace composer
