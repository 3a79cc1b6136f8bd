// The grammars of the rule keys of config.ini. Every parser takes the value already trimmed, never
// rejects anything and never fails: unknown pieces are skipped.
#ifndef VELL_CONFIG_RULE_PARSERS_H_
#define VELL_CONFIG_RULE_PARSERS_H_

#include <string>
#include <vector>

#include "config/rule_records.h"

namespace vell {

RewriteRule ParseRewriteRule(const std::string& value);
void ParseDefaultActions(const std::string& value, std::vector<RuleAction>& actions);
BuiltinRule ParseBFilter(const std::string& value);
FilterRule ParseCFilter(const std::string& value);
// "NAME,ACTION...": a deep-inspection rule; tokens after the name that are not actions are skipped.
FilterRule ParseDFilter(const std::string& value);
VariableRule ParseSFilter(const std::string& value);
// "rules:NAME NAME...", then any of "url:PATTERN", "client:ADDR/BITS ...", "host:NAME ...",
// "method:METHOD ...", separated by ",".
Exclusion ParseExclusion(const std::string& value);

// A token split at its first ":" into a trimmed key and the untrimmed rest; a token without ":"
// is its own key and its own rest.
struct KeyedToken {
  std::string key;
  std::string rest;
};
KeyedToken SplitKeyedToken(const std::string& token);

// Appends the action the keyed token names ("deny", "redirect", "log"); false for any other key.
bool AppendActionToken(const KeyedToken& token, std::vector<RuleAction>& actions);

}  // namespace vell

#endif  // VELL_CONFIG_RULE_PARSERS_H_
