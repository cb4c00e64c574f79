#include "composer/input_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
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

// The names for a tag: three completed by it, the longest that fits 255
// characters taken, one longer refused.
TEST(InputNames, ComposedForATagOrRefused) {
  InputFileNames names;
  ASSERT_TRUE(ComposeNames("v1", names));
  const char* const expected[] = {"ipl1.bin",           "ipl2_v1.bin", "zemra80_prog_p6_v1.bin",
                                  "zemra80_org_v1.bin", "data1.bin",   "data2.bin",
                                  "data3.bin",          "data4.bin",   "data5.bin",
                                  "data6.bin",          "data7.bin",   "data8.bin",
                                  "data9.bin"};
  for (int m = 0; m < kInputCount; ++m) EXPECT_STREQ(names[m], expected[m]);

  // "zemra80_prog_p6_" + tag + ".bin" is the longest tagged name.
  const std::string fits(255 - 16 - 4, 't');
  ASSERT_TRUE(ComposeNames(fits.c_str(), names));
  EXPECT_EQ(std::string(names[kProgram]).size(), 255u);
  EXPECT_FALSE(ComposeNames((fits + "t").c_str(), names));
}

// Which input a name is: the member, the tag it carries, and whether it
// matches only with letter case ignored.
TEST(InputNames, RecognisedByName) {
  struct Row {
    const char* name;
    int member;
    const char* tag;
    bool case_only;
  };
  const Row rows[] = {
      {"ipl1.bin", kLoader1, "", false},
      {"zemra80_org_v2.bin", kSource, "v2", false},
      {"ipl2_.bin", kLoader2, "", false},  // the empty tag
      {"zemra80_prog_p6_a.b.bin", kProgram, "a.b", false},
      {"zemra80_org_V2.bin", kSource, "V2", false},  // a tag is any text
      {"data9.bin", kData9, "", false},
      {"IPL1.BIN", kLoader1, "", true},
      {"Data2.bin", kData1 + 1, "", true},
      {"ZEMRA80_ORG_v1.Bin", kSource, "v1", true},
      {"data10.bin", -1, "", false},
      {"ipl1.bin ", -1, "", false},
      {"zemra80_org_v1", -1, "", false},
      {"zemra80_org.bin", -1, "", false},  // shorter than prefix and suffix
      {"", -1, "", false},
  };
  for (const Row& row : rows) {
    const Recognised r = Recognise(row.name);
    EXPECT_EQ(r.member, row.member) << row.name;
    EXPECT_EQ(r.tag, row.tag) << row.name;
    EXPECT_EQ(r.case_only, row.case_only) << row.name;
  }
}

// A share holds what was read, then 0xFF to its end, whatever it held before.
TEST(InputShare, EndsWithFFPastWhatWasRead) {
  std::array<uint8_t, kInputBytes> inputs;
  inputs.fill(0x11);
  const std::span<uint8_t> share = Share(inputs, kLoader2);
  ASSERT_EQ(share.size(), 768u);
  ASSERT_EQ(share.data(), inputs.data() + 256);
  EndShare(share, 300);
  EXPECT_EQ(std::count(inputs.begin(), inputs.end(), 0xFF), 768 - 300);
  EXPECT_EQ(inputs[256 + 299], 0x11);
  EXPECT_EQ(inputs[256 + 300], 0xFF);
  EXPECT_EQ(inputs[256 + 767], 0xFF);
  EndShare(Share(inputs, kData9), 5000);  // a longer read leaves the share whole
  EXPECT_EQ(inputs[kInputBytes - 1], 0x11);
}

}  // namespace
}  // namespace composer
