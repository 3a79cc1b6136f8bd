// The loaded configuration with every pattern compiled once: an immutable snapshot that all request
// threads read without a lock.
#ifndef VELL_INSPECT_RULE_SET_H_
#define VELL_INSPECT_RULE_SET_H_

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "config/filter_config.h"
#include "detect/deep_signatures.h"
#include "inspect/exclusions.h"
#include "inspect/observer.h"
#include "pattern/pattern.h"
#include "pattern/pattern_set.h"
#include "inspect/server_request.h"
#include "config/signatures.h"

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

  // Every pattern tested against one kind of subject, for one pass over it. The URL set holds the
  // BFilter patterns at their rule's index, then the metacharacter patterns, the CFilter patterns
  // and the Rewrite patterns; client set p holds, at each SFilter rule's index, the pattern of the
  // rules on RequestInfo value p (null for the others).
  PatternSet urlPatterns;
  std::array<PatternSet, RequestInfo::kValueCount> clientPatterns;
  // Worked out once from the rule names, so that no request compares names: what each BFilter
  // record is, the first "RequestByIP" record (-1 when there is none) and the RequestInfo position
  // of each SFilter rule's variable (-1 for a name that is none of the four).
  enum class UrlRuleKind : uint8_t { kRequestByIP, kMetaChar, kMaxUrlLength, kSignature };
  std::vector<UrlRuleKind> bFilterKinds;
  std::vector<std::size_t> maxUrlLengthRules;  // the kMaxUrlLength records, in order
  int requestByIpRule = -1;
  std::vector<int> sFilterPositions;

  // Parallel to config.dFilters: the deep rule each names, nothing for a name that is none.
  std::vector<std::optional<DeepRule>> dFilterRules;
  // Whether the deep check has anything to do: DeepInspection on, or a DFilter rule.
  bool HasDeepRules() const { return config.deepInspection || !config.dFilters.empty(); }

  // The Exclude lines, and for each rule of each list the Exclude lines that name it (those that
  // name every rule apply to all and are in allRulesExclusions instead).
  std::vector<CompiledExclusion> exclusions;
  std::array<std::vector<std::vector<uint32_t>>, 5> exclusionsByRule;
  std::vector<uint32_t> allRulesExclusions;
  bool HasExclusions() const { return !exclusions.empty(); }
  const std::vector<uint32_t>& ExclusionsNaming(RuleRef rule) const {
    static const std::vector<uint32_t> kNone;
    const auto& list = exclusionsByRule[static_cast<std::size_t>(rule.list)];
    return rule.index < list.size() ? list[rule.index] : kNone;
  }

  std::size_t UrlMetaCharIndex(std::size_t i) const { return bFilterPatterns.size() + i; }
  std::size_t UrlCFilterIndex(std::size_t i) const {
    return bFilterPatterns.size() + kMetaCharCount + i;
  }
  std::size_t UrlRewriteIndex(std::size_t i) const { return UrlCFilterIndex(cFilterPatterns.size()) + i; }
};

// The name a rule goes by in the audit log ("" for a rule that has none).
const std::string& RuleAuditName(const RuleSet& rules, RuleRef rule);
// Its name, or for a rule without one its list and number from 1 ("SFilter#2"): how Exclude
// lines and the deciding-rule export name it.
std::string RuleName(const RuleSet& rules, RuleRef rule);
// The variables an SFilter rule can test, at their RequestInfo positions.
inline constexpr const char* kClientVariables[] = {"REMOTE_ADDR", "REMOTE_HOST", "REQUEST_METHOD",
                                                   "HTTP_REFERER"};

// The RequestInfo position that an SFilter variable names, or -1 for any other name.
int ClientValuePosition(const std::string& variable);

// How many rules can fire: BFilter signatures and CFilter rules with a pattern that compiles, the
// first "RequestByIP" when enabled, "MetaChar" with a mask, "MaxURLLength", SFilter rules on a
// known variable with a pattern that compiles, and Rewrite rules with a pattern that compiles.
std::size_t CountRulesInForce(const RuleSet& rules);

// Compiles every pattern of config; equal pattern texts share one compiled pattern.
std::shared_ptr<const RuleSet> CompileRuleSet(FilterConfig config);

}  // namespace vell

#endif  // VELL_INSPECT_RULE_SET_H_
