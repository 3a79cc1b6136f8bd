// How the tools name rules, checks and config lines in what they print. Naming only: what a rule
// does is the module's to say, through its trace export.
#ifndef VELL_TOOLS_RULE_LABELS_H_
#define VELL_TOOLS_RULE_LABELS_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "config/filter_config.h"

namespace vell::tools {

// "RequestByIP", "client rules", "URL rules", "deep inspection", "Rewrite" for VELL_CHECK_*.
const char* CheckName(uint32_t check);
// "BFilter", "CFilter", "SFilter", "DFilter", "Rewrite" for VELL_LIST_*.
const char* ListName(uint32_t list);

// A label that tells rules apart when names are empty or repeated: the rule's name, or
// "SFilter#2 REMOTE_ADDR ~ ^10\." for an SFilter rule, "Rewrite#1 ^/old/(.*) => /new/$1" for a
// Rewrite rule, "CFilter#3" for a CFilter rule without a name.
std::string RuleLabel(const FilterConfig& config, uint32_t list, std::size_t index);
// The rule's pattern as written, "" for rules that have none.
std::string RulePattern(const FilterConfig& config, uint32_t list, std::size_t index);

// The line of the file a rule or an Exclude line was read from, 0 when unknown.
int RuleLine(const ConfigSource& source, uint32_t list, std::size_t index);
int ExclusionLine(const ConfigSource& source, std::size_t exclusion);

}  // namespace vell::tools

#endif  // VELL_TOOLS_RULE_LABELS_H_
