#include "config/text.h"

#include <gtest/gtest.h>

namespace vell {
namespace {

TEST(TrimWhitespace, RemovesTheCLocaleSpaceClassAtBothEndsOnly) {
  EXPECT_EQ(TrimWhitespace(" \t\n\v\f\ra b\r\n"), "a b");
  EXPECT_EQ(TrimWhitespace("   "), "");
  // Bytes from 0x80 up (a no-break space in Latin-1, a byte-order mark) are not white space.
  EXPECT_EQ(TrimWhitespace("\xA0x\xA0"), "\xA0x\xA0");
  EXPECT_EQ(TrimWhitespace("\xEF\xBB\xBFkey "), "\xEF\xBB\xBFkey");
}

TEST(SplitTokens, DropsEmptyRunsAndKeepsBlankOnes) {
  using Tokens = std::vector<std::string>;
  EXPECT_EQ(SplitTokens("a,b,c"), (Tokens{"a", "b", "c"}));
  EXPECT_EQ(SplitTokens(",a,,b,"), (Tokens{"a", "b"}));
  EXPECT_EQ(SplitTokens("a, ,b"), (Tokens{"a", " ", "b"}));
  EXPECT_EQ(SplitTokens(""), Tokens{});
  EXPECT_EQ(SplitTokens(",,,"), Tokens{});
}

TEST(ParseNumber, ReadsLikeAtoi) {
  struct Case { const char* text; int32_t value; };
  const Case kCases[] = {
      {"512", 512}, {"  42", 42}, {"-7", -7}, {"+9", 9}, {"12abc", 12}, {"abc", 0}, {"", 0},
      {" - 3", 0}, {"0x10", 0},
      // Out of range saturates instead of wrapping.
      {"99999999999", INT32_MAX}, {"-99999999999", INT32_MIN}, {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseNumber(c.text), c.value);
  }
}

}  // namespace
}  // namespace vell
