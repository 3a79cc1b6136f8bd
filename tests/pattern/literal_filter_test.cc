#include "pattern/literal_filter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vell {
namespace {

std::optional<LiteralFilter> FilterFor(const std::string& pattern) {
  const PatternParse parse = ParsePattern(pattern);
  EXPECT_TRUE(parse.syntax) << pattern << ": " << parse.error;
  return parse.syntax ? LiteralFilter::For(parse.syntax->root) : std::nullopt;
}

// The texts found for typical rules, and the patterns that must get no filter because some match
// holds none of a short list of texts. (Every pattern's answers with the filter are compared with
// the reference matcher in the engine and pattern tests.)
TEST(LiteralFilter, TextsEveryMatchContains) {
  struct Case { const char* pattern; std::vector<std::string> texts; };
  const Case kCases[] = {
      {"^(TRACE|TRACK|DEBUG)$", {"debug", "trace", "track"}},
      {"(casino)|(viagra)", {"casino", "viagra"}},
      {"\\.(bak|old|orig)$", {".bak", ".old", ".orig"}},
      {"((%5c)|(/)|(%2f)|(\\\\))((\\.\\.)|(%2e%2e))",
       {"%2f%2e%2", "%2f..", "%5c%2e%2", "%5c..", "/%2e%2e", "/..", "\\%2e%2e", "\\.."}},  // 8 bytes at most
      {"phpinfo\\.php", {"phpinfo."}},
      {"abc+", {"ab"}},         // the longer of the two required parts
      {"a.*bcd", {"bcd"}},
      {"x{3}", {"x"}},
      {"[a-c]D", {"ad", "bd", "cd"}},
      {"(a|)b", {"ab", "b"}},
      {"\\Qa.\\E", {"a."}},
      {"\\x80\\xff", {"\x80\xff"}},
      {"(ab)+|c", {"ab", "c"}},
      // Matches that need no text at all.
      {".*", {}}, {"a?", {}}, {"[^x]", {}}, {"^$", {}}, {"()", {}}, {"a|b*", {}}, {"x{0,2}", {}},
      {"(a|)(b|)", {}}, {"\\w+", {}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.pattern);
    const std::optional<LiteralFilter> filter = FilterFor(c.pattern);
    if (c.texts.empty()) {
      EXPECT_FALSE(filter.has_value());
    } else {
      ASSERT_TRUE(filter.has_value());
      EXPECT_EQ(filter->texts(), c.texts);
    }
  }
  // A long literal keeps its first bytes, however long it is.
  const std::optional<LiteralFilter> longLiteral = FilterFor(std::string(100000, 'q') + "(a|b)");
  ASSERT_TRUE(longLiteral.has_value());
  EXPECT_EQ(longLiteral->texts(), std::vector<std::string>{"qqqqqqqq"});
  // Too many exact combinations: the longest required piece is kept, not the whole product.
  const std::optional<LiteralFilter> wide = FilterFor("[ab][cd][ef][gh][ij]");
  ASSERT_TRUE(wide.has_value());
  EXPECT_EQ(wide->texts().size(), 16u);
  EXPECT_EQ(wide->texts().front(), "aceg");
}

TEST(LiteralFilter, MayMatchIgnoresCaseAndLeavesLongSubjectsToTheEngine) {
  const std::optional<LiteralFilter> filter = FilterFor("(casino)|(viagra)");
  ASSERT_TRUE(filter.has_value());
  EXPECT_TRUE(filter->MayMatch("http://example.com/CaSiNo"));
  EXPECT_TRUE(filter->MayMatch("viagra"));
  EXPECT_FALSE(filter->MayMatch("http://www.example.com/start"));
  EXPECT_FALSE(filter->MayMatch(""));
  EXPECT_FALSE(filter->MayMatch("casin"));
  EXPECT_TRUE(filter->MayMatch(std::string(5000, 'a')));
  EXPECT_TRUE(filter->MayMatch(std::string(400, 'c') + "VIAGRA"));  // the last bytes count
}

}  // namespace
}  // namespace vell
