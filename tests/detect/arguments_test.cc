#include "detect/arguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vell {
namespace {

struct SplitCase {
  std::string query;
  std::vector<std::string> arguments;  // "name=value" (a piece without "=" has an empty value)
  bool formEncoded;
};

const SplitCase kSplit[] = {
    {"", {}, true},
    {"a=1&b=2", {"a=1", "b=2"}, true},
    // Empty pieces are skipped; a value may hold "=" and ";".
    {"&a=1&&b=&", {"a=1", "b="}, true},
    {"C=D;O=A", {"C=D;O=A"}, true},
    {"x=a=b", {"x=a=b"}, true},
    {"=v", {"=v"}, true},
    // A piece without "=" is a name alone, and the query is not form encoded.
    {"flag", {"flag="}, false},
    {"q=&%20id", {"q=", " id="}, false},
    // Names and values are decoded: "+" as a space, escapes, overlong forms, "\" to "/", no NUL.
    {"q=a+b%2Bc", {"q=a b+c"}, true},
    {"n%61me=%27%20or%201%3D1--", {"name=' or 1=1--"}, true},
    {"f=..%c0%af..%5cwin.ini", {"f=../../win.ini"}, true},
    {"x=a%00b&%00=1", {"x=ab", "=1"}, true},
    // An encoded "&" or "=" does not split.
    {"q=a%26b%3Dc", {"q=a&b=c"}, true},
};

TEST(SplitArguments, Table) {
  for (const SplitCase& c : kSplit) {
    SCOPED_TRACE(c.query);
    const ParsedQuery parsed = SplitArguments(c.query);
    std::vector<std::string> got;
    for (const Argument& argument : parsed.arguments) got.push_back(argument.name + "=" + argument.value);
    EXPECT_EQ(got, c.arguments);
    EXPECT_EQ(parsed.formEncoded, c.formEncoded);
    EXPECT_EQ(parsed.rest, "");
  }
}

// Past the limit, the rest of the query is one decoded text, and a piece without "=" there still
// counts.
TEST(SplitArguments, PiecesPastTheLimitAreOneText) {
  const ParsedQuery parsed = SplitArguments("a=1&&b=2&c=%2e%2e&d", 2);
  ASSERT_EQ(parsed.arguments.size(), 2u);
  EXPECT_EQ(parsed.arguments[1].name, "b");
  EXPECT_EQ(parsed.rest, "c=..&d");
  EXPECT_FALSE(parsed.formEncoded);
  EXPECT_EQ(SplitArguments("a=1&b=2", 2).rest, "");
}

TEST(SplitArguments, KeepsTheFirstPassOfAValueEncodedMoreThanOnce) {
  const std::vector<Argument> arguments = SplitArguments("a=%252e%252e%252f&b=%2e%2e%2f").arguments;
  ASSERT_EQ(arguments.size(), 2u);
  EXPECT_EQ(arguments[0].value, "../");
  EXPECT_EQ(arguments[0].valueFirstPass, "%2e%2e%2f");
  EXPECT_EQ(arguments[1].value, "../");
  EXPECT_EQ(arguments[1].valueFirstPass, "");
}

}  // namespace
}  // namespace vell
