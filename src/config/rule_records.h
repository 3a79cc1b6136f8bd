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

}  // namespace vell

#endif  // VELL_CONFIG_RULE_RECORDS_H_
