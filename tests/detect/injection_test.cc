#include "detect/injection.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace vell {
namespace {

struct InjectionCase {
  const char* value;
  bool sqli;
  bool xss;
};

const InjectionCase kInjection[] = {
    // Known attacks.
    {"' or 1=1--", true, false},
    {"1 union select password from users", true, false},
    {"1'; drop table users--", true, false},
    {"<script>alert(1)</script>", false, true},
    {"<img src=x onerror=alert(1)>", false, true},
    {"\" onmouseover=\"alert(1)", false, true},
    // Known benign values, among them some that look a little like SQL or HTML.
    {"hello world", false, false},
    {"O'Brien", false, false},
    {"2 > 1", false, false},
    {"/images/logo.png", false, false},
    {"<b>bold</b>", false, false},
    {"a=b", false, false},
};

TEST(Injection, KnownAttacksAndBenignValues) {
  for (const InjectionCase& c : kInjection) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(DetectSqlInjection(c.value).has_value(), c.sqli);
    EXPECT_EQ(DetectXss(c.value), c.xss);
    EXPECT_TRUE(!c.sqli || MayBeSqlInjection(c.value));
    EXPECT_TRUE(!c.xss || MayBeXss(c.value));
  }
  EXPECT_EQ(DetectSqlInjection("' or 1=1--").value_or(""), "s&1c");
  EXPECT_EQ(DetectSqlInjection(std::string("1' or '1'='1\0", 13)).has_value(), true);
}

// The quick "harmless" answers never hide a value that the detector would flag: random values over
// the harmless alphabets (with SQL keywords and "-", which is harmless alone but not doubled).
TEST(Injection, HarmlessValuesAreNeverFlagged) {
  const std::string sqlHarmless = "abcdefghijklmnopqrstuvwxyzORUNIONSELECT0123456789_./:--";
  const std::string xssHarmless = "abcdefghijklmnopqrstuvwxyzSCRIPT0123456789 ():;/.,!?-&#%javascrt";
  std::mt19937 random(7);
  for (int round = 0; round < 20000; ++round) {
    std::string sql, xss;
    const std::size_t length = 1 + random() % 24;
    for (std::size_t i = 0; i < length; ++i) {
      sql += sqlHarmless[random() % sqlHarmless.size()];
      xss += xssHarmless[random() % xssHarmless.size()];
    }
    ASSERT_FALSE(MayBeXss(xss));
    if (sql.find("--") == std::string::npos) {
      ASSERT_FALSE(MayBeSqlInjection(sql));
      EXPECT_FALSE(DetectSqlInjection(sql).has_value()) << sql;
    }
    EXPECT_FALSE(DetectXss(xss)) << xss;
  }
  EXPECT_TRUE(MayBeSqlInjection("1--"));
  EXPECT_FALSE(MayBeSqlInjection("puppet-labs/2.0"));
  EXPECT_TRUE(MayBeSqlInjection("1 or 1"));
  EXPECT_TRUE(MayBeXss("<x"));
}

// What libinjection may read of a text within a number of units: one per byte, kInjectionTokenUnits
// more per token; cut before the token that would go over, never inside a word.
TEST(Injection, PrefixWithinUnits) {
  struct Case {
    std::string text;
    std::size_t units;
    std::size_t size;
    std::size_t cost;
  };
  const Case kCases[] = {
      {"", 10, 0, 0},
      // A word is one token, each other sign one, blanks none.
      {"abc", 100, 3, 11},
      {"a b\t", 100, 4, 20},
      {"a=b", 100, 3, 27},
      {"'''", 100, 3, 27},
      {"caf\xC3\xA9_2", 100, 7, 15},
      // Cut before the token that would go over; a word is never split.
      {"abc def", 20, 4, 12},
      {"abc def", 23, 7, 23},
      {"abcdef", 10, 0, 0},
      {"ab=cd", 18, 2, 10},
      {"ab  ", 11, 3, 11},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << '"' << c.text << "\" within " << c.units);
    const InjectionPrefix prefix = InjectionPrefixWithin(c.text, c.units);
    EXPECT_EQ(prefix.size, c.size);
    EXPECT_EQ(prefix.units, c.cost);
  }
  // On any text: within the units, and the prefix alone costs what was counted.
  const std::string alphabet = "ab1_ \t=<'(\x80";
  std::mt19937 random(11);
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    for (std::size_t n = random() % 40; n > 0; --n) text += alphabet[random() % alphabet.size()];
    const std::size_t units = random() % 200;
    const InjectionPrefix prefix = InjectionPrefixWithin(text, units);
    ASSERT_LE(prefix.size, text.size());
    ASSERT_LE(prefix.units, units);
    ASSERT_EQ(InjectionPrefixWithin(text.substr(0, prefix.size), SIZE_MAX).units, prefix.units) << text;
  }
}

}  // namespace
}  // namespace vell
