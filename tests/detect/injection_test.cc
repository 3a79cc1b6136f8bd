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

}  // namespace
}  // namespace vell
