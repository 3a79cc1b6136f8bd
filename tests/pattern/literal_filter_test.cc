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
      // Other bytes than letters and digits weigh more: a quote is rarer in a URL than "or".
      {"w*((%27)|('))((%20)|(\\s))?((%6F)|o|(%4F))((%72)|r|(%52))", {"%27", "'"}},
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

// The filter of several patterns says "may match" exactly when one of theirs does (for subjects
// short enough that each of theirs looks), whatever the letter case, where the text stands, and
// however many two-byte beginnings the texts have.
TEST(LiteralSetFilter, MayMatchWhenSomeFilterMay) {
  std::vector<std::string> sources = {"(casino)|(viagra)", "\\.(bak|old|orig)$", "'", "%0[ad]",
                                      "^/admin", "x{3}", "ab+c", "[ab]"};
  // More two-byte beginnings than a table entry numbers.
  for (char a = 'c'; a <= 'z'; ++a) {
    for (char b = 'a'; b <= 'z'; b += 2) sources.push_back(std::string{a, b, '9'});
  }
  std::vector<std::optional<LiteralFilter>> filters;
  std::vector<const LiteralFilter*> members;
  for (const std::string& source : sources) {
    filters.push_back(FilterFor(source));
    ASSERT_TRUE(filters.back().has_value()) << source;
  }
  for (const auto& filter : filters) members.push_back(&*filter);
  const std::optional<LiteralSetFilter> set = LiteralSetFilter::Of(members);
  ASSERT_TRUE(set.has_value());
  const std::string kSubjects[] = {
      "", "'", "a", "b", "c", "/index.html", "/x.BAK", "/x.Bak?", "/CaSiNo", "%0A", "%0", "x%0d",
      "/ADMIN", "xxx", "XX", "Zy9", "zy", "zz9", "zZ9.", "cq9", "/abc/", "\x80\xff",
      std::string(1, '\0') + "'",
  };
  std::vector<std::string> subjects(std::begin(kSubjects), std::end(kSubjects));
  // Each text at every place of a subject that the scan takes several bytes at a time.
  for (const std::string text : {"'", "%0a", "zy9", "ab"}) {
    for (std::size_t size = 0; size < 10; ++size) {
      for (std::size_t at = 0; at <= size; ++at) {
        subjects.push_back(std::string(size, '-').insert(at, text));
      }
    }
  }
  for (const std::string& subject : subjects) {
    bool any = false;
    for (const LiteralFilter* filter : members) any = any || filter->MayMatch(subject);
    EXPECT_EQ(set->MayMatch(subject), any) << subject;
  }
  // Long subjects are looked at too.
  EXPECT_FALSE(set->MayMatch("q" + std::string(600, 'z')));
  EXPECT_TRUE(set->MayMatch(std::string(600, '-') + "'"));
  EXPECT_TRUE(set->MayMatch(std::string(600, '-') + "Zb9"));
  // No filters, or one missing: no set filter.
  EXPECT_FALSE(LiteralSetFilter::Of({}).has_value());
  EXPECT_FALSE(LiteralSetFilter::Of({members[0], nullptr}).has_value());
}

// Texts are found by a pair inside them, not only by their first: each text at every place of a
// subject, in either case, with a text that shares its rare pair and one that is its own prefix,
// and the texts' beginnings and ends alone, which are not enough.
TEST(LiteralSetFilter, FindsTextsByAnInnerPair) {
  std::vector<std::optional<LiteralFilter>> filters;
  std::vector<const LiteralFilter*> members;
  for (const char* source : {"/admin", "content-", "union", "exec", "^/cmd\\.exe", "nt-ty", "/ad"}) {
    filters.push_back(FilterFor(source));
    ASSERT_TRUE(filters.back().has_value()) << source;
  }
  for (const auto& filter : filters) members.push_back(&*filter);
  const std::optional<LiteralSetFilter> set = LiteralSetFilter::Of(members);
  ASSERT_TRUE(set.has_value());
  for (const std::string text : {"/ADMIN", "Content-", "unIon", "exeC", "/cmd.exe", "nt-ty", "/ad"}) {
    for (std::size_t size = 0; size < 7; ++size) {
      for (std::size_t at = 0; at <= size; ++at) {
        const std::string subject = std::string(size, 'o').insert(at, text);
        EXPECT_TRUE(set->MayMatch(subject)) << subject;
      }
    }
  }
  for (const std::string subject : {"/a", "dmin", "ontent-", "conten", "unio", "nion", "xec", "exe",
                                    "/cmd.ex", "cmd.exe", "nt-t", "t-ty", "/contact/uni-on/ex_ec/a-dmin"}) {
    EXPECT_FALSE(set->MayMatch(subject)) << subject;
  }
}

}  // namespace
}  // namespace vell
