#include "config/rule_parsers.h"

#include <gtest/gtest.h>

namespace vell {
namespace {

RuleAction Deny(const char* argument) { return {ActionKind::Deny, argument}; }
RuleAction Redirect(const char* argument) { return {ActionKind::Redirect, argument}; }
RuleAction Log() { return {ActionKind::Log, ""}; }
using Actions = std::vector<RuleAction>;

TEST(ParseDefaultActions, ActionTokensOnlyInOrder) {
  struct Case { const char* value; Actions actions; };
  const Case kCases[] = {
      {"deny,log", {Deny("deny"), Log()}},
      // Without ":" the word is its own argument; with an empty rest the argument is empty.
      {"redirect", {Redirect("redirect")}},
      {"deny:", {Deny("")}},
      {"redirect:", {Redirect("")}},
      // Only the first ":" separates key and rest; blanks after it stay.
      {"redirect:http://example.com/x", {Redirect("http://example.com/x")}},
      {"redirect: /a", {Redirect(" /a")}},
      {" log : anything ", {Log()}},
      // Other words are skipped; repeats all stay; keys are case-sensitive.
      {"block,deny:x,Log,log,log", {Deny("x"), Log(), Log()}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.value);
    Actions actions;
    ParseDefaultActions(c.value, actions);
    EXPECT_EQ(actions, c.actions);
  }
}

TEST(ParseDefaultActions, AppendsToWhatIsThere) {
  Actions actions{Log()};
  ParseDefaultActions("deny", actions);
  EXPECT_EQ(actions, (Actions{Log(), Deny("deny")}));
}

TEST(ParseRewriteRule, SplitsAtFirstCommaWithoutTrimming) {
  EXPECT_EQ(ParseRewriteRule("^/old/(.*),/new/$1"), (RewriteRule{"^/old/(.*)", "/new/$1"}));
  EXPECT_EQ(ParseRewriteRule("a , b,c"), (RewriteRule{"a ", " b,c"}));
  EXPECT_EQ(ParseRewriteRule("index"), (RewriteRule{"index", "index"}));
}

TEST(ParseBFilter, Grammar) {
  struct Case {
    const char* value;
    const char* name;
    Actions actions;
    bool enabled;
    int32_t enableMask;
    int32_t maxUrlLength;
  };
  const Case kCases[] = {
      {"SQLInjection1", "SQLInjection1", {}, false, 0, 0},
      {"MaxURLLength:512,log", "MaxURLLength", {Log()}, false, 0, 512},
      {"MaxURLLength: 64 ", "MaxURLLength", {}, false, 0, 64},
      {"MaxURLLength", "MaxURLLength", {}, false, 0, 0},
      {"MetaChar,enable:255,deny", "MetaChar", {Deny("deny")}, false, 255, 0},
      {"RequestByIP,enable:true,redirect:/noip.htm", "RequestByIP", {Redirect("/noip.htm")}, true, 0, 0},
      {"RequestByIP,enable:true,enable:false", "RequestByIP", {}, false, 0, 0},
      // A blank after ":" makes the rest a number (0), and enabled is left alone.
      {"RequestByIP,enable:true,enable: true", "RequestByIP", {}, true, 0, 0},
      {"MetaChar,enable:5", "MetaChar", {}, false, 5, 0},
      {"MetaChar,enable", "MetaChar", {}, false, 0, 0},
      // The last name token gives the name.
      {"CodeRed,MaxURLLength:10", "MaxURLLength", {}, false, 0, 10},
      {"MaxURLLength:10,CodeRed", "CodeRed", {}, false, 0, 10},
      {"CodeRed, ,deny", "", {Deny("deny")}, false, 0, 0},
      {"CodeRed,", "CodeRed", {}, false, 0, 0},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.value);
    const BuiltinRule rule = ParseBFilter(c.value);
    EXPECT_EQ(rule.name, c.name);
    EXPECT_EQ(rule.actions, c.actions);
    EXPECT_EQ(rule.enabled, c.enabled);
    EXPECT_EQ(rule.enableMask, c.enableMask);
    EXPECT_EQ(rule.maxUrlLength, c.maxUrlLength);
    EXPECT_EQ(rule.pattern, "");
  }
}

TEST(ParseCFilter, NameThenPatternThenActions) {
  struct Case { const char* value; const char* name; const char* pattern; Actions actions; };
  const Case kCases[] = {
      {"AdminPages,^/admin,deny,log", "AdminPages", "^/admin", {Deny("deny"), Log()}},
      // The pattern is taken whole: ":" stays in it, its blanks are trimmed.
      {"Ports, :[0-9]+$ ,log", "Ports", ":[0-9]+$", {Log()}},
      // Empty runs are no tokens: the pattern is still the second non-empty token.
      {",,Name,,a+,,log,", "Name", "a+", {Log()}},
      // A blank token counts.
      {"Name, ,a", "Name", "", {}},
      // A "," cuts the pattern; the tail is read as an action token and skipped.
      {"Range,a{1,2},deny", "Range", "a{1", {Deny("deny")}},
      {"OnlyName", "OnlyName", "", {}},
      {"", "", "", {}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.value);
    const FilterRule rule = ParseCFilter(c.value);
    EXPECT_EQ(rule.name, c.name);
    EXPECT_EQ(rule.pattern, c.pattern);
    EXPECT_EQ(rule.actions, c.actions);
  }
}

TEST(ParseSFilter, VariableThenPatternThenActionsAndNoName) {
  const VariableRule rule = ParseSFilter("REMOTE_ADDR,^10\\.,log,redirect:/x");
  EXPECT_EQ(rule.variable, "REMOTE_ADDR");
  EXPECT_EQ(rule.name, "");
  EXPECT_EQ(rule.pattern, "^10\\.");
  EXPECT_EQ(rule.actions, (Actions{Log(), Redirect("/x")}));
}

}  // namespace
}  // namespace vell
