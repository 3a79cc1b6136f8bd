// The loaded configuration with every pattern compiled once: an immutable snapshot that all request
// threads read without a lock.
#ifndef VELL_INSPECT_RULE_SET_H_
#define VELL_INSPECT_RULE_SET_H_

#include <array>
#include <memory>
#include <vector>

#include "config/filter_config.h"
#include "inspect/pattern.h"
#include "inspect/signatures.h"

namespace vell {

struct RuleSet {
  FilterConfig config;
  // Parallel to config.bFilters, config.cFilters, config.sFilters and config.rewriteRules: the
  // compiled form of each rule's pattern. Never null; an empty or bad pattern never matches.
  std::vector<CompiledPatternPtr> bFilterPatterns;
  std::vector<CompiledPatternPtr> cFilterPatterns;
  std::vector<CompiledPatternPtr> sFilterPatterns;
  std::vector<CompiledPatternPtr> rewritePatterns;
  std::array<CompiledPatternPtr, kMetaCharCount> metaCharPatterns;
};

// Compiles every pattern of config; equal pattern texts share one compiled pattern.
std::shared_ptr<const RuleSet> CompileRuleSet(FilterConfig config);

}  // namespace vell

#endif  // VELL_INSPECT_RULE_SET_H_
