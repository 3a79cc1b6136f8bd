#include "config/signatures.h"

#include <string>

#include <gtest/gtest.h>

namespace vell {
namespace {

// The tables as published to operators, written out here independently of the source.
TEST(SignatureCatalogue, EveryPatternCharacterForCharacter) {
  const std::pair<std::string, std::string> kExpected[] = {
      {"SQLInjection1", "((%27)|('))((%20)|(\\s))?union"},
      {"SQLInjection2", "w*((%27)|('))((%20)|(\\s))?((%6F)|o|(%4F))((%72)|r|(%52))"},
      {"SQLInjection3", "exec((%20)|(\\s))+(s|x)p"},
      {"SQLInjection4", "[^\\n]+((%3D)|(=))((%27)|(')|(--)|(%3B)|(;)|(%23)|(#))"},
      {"ShellCode1", "((\\\\)|(%5c))((%78)|(x)|(%58))((%65)|(e)|(%45))((%62)|(b)|(%42))"},
      {"ShellCode2", "(((\\\\)|(%5c))((%78)|(x)|(%58))(90))"},
      {"ShellCode3", "(((((\\\\)|(%5c))((%78)|(x)|(%58))(([0-9a-z]){2}))))+"},
      {"URLSplit1", "(%0d)+(%0a)+content(-)type(:)"},
      {"URLSplit2", "(((%0d)+)((%0a)+))+content(-)"},
      {"URLSplit3", "(((%0d)+)((%0a)+))+http(/)([0-1]{0,1})(\\.)([0-1]{0,1})"},
      {"DirectoryTraversal", "((%5c)|(/)|(%2f)|(\\\\))((\\.\\.)|(%2e%2e))"},
      {"ServerSideInclude", "((%3C)|(<))((!)|(%21))((-)|(%2D))((-)|(%2D))+(\\s)*((#)|(%23))"},
      {"commandExe", "(system32/cmd(\\.)exe)|(root(\\.)exe)"},
      {"CodeRed", "^/default(\\.)ida"},
  };
  ASSERT_EQ(SignatureCatalogue.size(), std::size(kExpected));
  for (std::size_t i = 0; i < SignatureCatalogue.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(SignatureCatalogue[i].name, kExpected[i].first);
    EXPECT_EQ(SignatureCatalogue[i].pattern, kExpected[i].second);
  }

  const std::string kMeta[] = {"(%3B)|(;)", "(%7c)|(\\|)", "(%21)|(!)",  "%00",
                               "(\\%24)|(\\$)", "(%40)|(@)", "(%0a)|(%0d)", "(%1b)|(%08)|(%7f)"};
  ASSERT_EQ(MetaCharPatterns.size(), std::size(kMeta));
  for (std::size_t i = 0; i < MetaCharPatterns.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(MetaCharPatterns[i], kMeta[i]);
  }
}

TEST(ResolveSignatures, ExactNamesOnlyEachRuleItsOwnPattern) {
  std::vector<BuiltinRule> rules(8);
  const char* kNames[] = {"ShellCode1", "URLSplit1", "commandExe", "CodeRed",
                          "sqlinjection1", "SQLInjection 1", "MetaChar", "ShellCode1"};
  for (std::size_t i = 0; i < rules.size(); ++i) rules[i].name = kNames[i];
  rules[6].pattern = "";
  ResolveSignatures(rules);
  EXPECT_EQ(rules[0].pattern, SignatureCatalogue[4].pattern);
  EXPECT_EQ(rules[1].pattern, SignatureCatalogue[7].pattern);
  EXPECT_EQ(rules[2].pattern, SignatureCatalogue[12].pattern);
  EXPECT_EQ(rules[3].pattern, "^/default(\\.)ida");
  EXPECT_EQ(rules[4].pattern, "");
  EXPECT_EQ(rules[5].pattern, "");
  EXPECT_EQ(rules[6].pattern, "");
  EXPECT_EQ(rules[7].pattern, SignatureCatalogue[4].pattern);
}

}  // namespace
}  // namespace vell
