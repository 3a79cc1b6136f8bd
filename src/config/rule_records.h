// The records that the rule keys of config.ini produce. Plain values: copying a record copies its
// strings and its action list.
#ifndef VELL_CONFIG_RULE_RECORDS_H_
#define VELL_CONFIG_RULE_RECORDS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace vell {

enum class ActionKind : int32_t { Deny = 0, Redirect = 1, Log = 2 };

struct RuleAction {
  ActionKind kind = ActionKind::Deny;
  // For Deny and Redirect the text after the ":" of the token; always empty for Log.
  std::string argument;

  bool operator==(const RuleAction&) const = default;
};

struct RewriteRule {
  std::string pattern;
  std::string replacement;

  bool operator==(const RewriteRule&) const = default;
};

struct FilterRule {
  std::string name;
  // Empty: the default actions apply.
  std::vector<RuleAction> actions;
  std::string pattern;
  // Read only for a rule named "RequestByIP"; a rule without enable:true is not in force.
  bool enabled = false;

  bool operator==(const FilterRule&) const = default;
};

struct BuiltinRule : FilterRule {
  // Bit i switches on metacharacter pattern i of a rule named "MetaChar".
  int32_t enableMask = 0;
  // The limit of a rule named "MaxURLLength".
  int32_t maxUrlLength = 0;

  bool operator==(const BuiltinRule&) const = default;
};

struct VariableRule : FilterRule {
  // "REMOTE_ADDR", "REMOTE_HOST", "REQUEST_METHOD" or "HTTP_REFERER"; any other never fires.
  std::string variable;

  bool operator==(const VariableRule&) const = default;
};

// One "Exclude" line: the rules it takes away from a request, and the conditions that must all
// hold for it to apply. A condition that is absent holds for every request.
struct Exclusion {
  // Rule names as the audit log gives them, "BFilter#N"/"CFilter#N"/"SFilter#N"/"DFilter#N" for a
  // rule by its place, or "*" for every filter rule. Rewrite rules are never excluded.
  std::vector<std::string> rules;
  // "url:": a pattern in the filter's own syntax, searched in the URL as it arrived.
  bool hasUrl = false;
  std::string urlPattern;
  // "client:", "host:", "method:": blank-separated lists, any of which may match.
  std::vector<std::string> clients;  // addresses and CIDR ranges, IPv4 and IPv6
  std::vector<std::string> hosts;    // server names, letter case ignored
  std::vector<std::string> methods;  // exact
  // Tokens the grammar does not know. An exclusion with any of them never applies, so that a
  // misspelt condition cannot widen it.
  std::vector<std::string> unknownTokens;

  bool operator==(const Exclusion&) const = default;
};

}  // namespace vell

#endif  // VELL_CONFIG_RULE_RECORDS_H_
