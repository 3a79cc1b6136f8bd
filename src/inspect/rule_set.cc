// Builds the compiled, read-only snapshot of the configuration that the request path walks.
#include "inspect/rule_set.h"

#include <map>
#include <string>

namespace vell {

namespace {

class PatternCompiler {
 public:
  CompiledPatternPtr Compile(const std::string& pattern) {
    auto [it, inserted] = compiled_.try_emplace(pattern);
    if (inserted) it->second = std::make_shared<const CompiledPattern>(pattern);
    return it->second;
  }

  template <typename Rule>
  std::vector<CompiledPatternPtr> CompileAll(const std::vector<Rule>& rules) {
    std::vector<CompiledPatternPtr> out;
    out.reserve(rules.size());
    for (const Rule& rule : rules) out.push_back(Compile(rule.pattern));
    return out;
  }

 private:
  std::map<std::string, CompiledPatternPtr> compiled_;
};

}  // namespace

const char* RuleListName(RuleList list) {
  switch (list) {
    case RuleList::kBFilter: return "BFilter";
    case RuleList::kCFilter: return "CFilter";
    case RuleList::kSFilter: return "SFilter";
    case RuleList::kDFilter: return "DFilter";
    case RuleList::kRewrite: return "Rewrite";
  }
  return "?";
}

const std::string& RuleAuditName(const RuleSet& rules, RuleRef rule) {
  static const std::string kNone;
  const FilterConfig& config = rules.config;
  switch (rule.list) {
    case RuleList::kBFilter:
      return rule.index < config.bFilters.size() ? config.bFilters[rule.index].name : kNone;
    case RuleList::kCFilter:
      return rule.index < config.cFilters.size() ? config.cFilters[rule.index].name : kNone;
    case RuleList::kSFilter:
      return rule.index < config.sFilters.size() ? config.sFilters[rule.index].name : kNone;
    case RuleList::kDFilter:
      return rule.index < config.dFilters.size() ? config.dFilters[rule.index].name : kNone;
    case RuleList::kRewrite:
      break;
  }
  return kNone;
}

std::string RuleName(const RuleSet& rules, RuleRef rule) {
  const std::string& name = RuleAuditName(rules, rule);
  if (!name.empty()) return name;
  return std::string(RuleListName(rule.list)) + "#" + std::to_string(rule.index + 1);
}

namespace {

// Which rules each Exclude line names: by name, by "LIST#N", or all of them with "*".
void IndexExclusions(RuleSet& rules) {
  const std::array<std::size_t, 5> sizes = {rules.config.bFilters.size(), rules.config.cFilters.size(),
                                            rules.config.sFilters.size(), rules.config.dFilters.size(),
                                            0};
  for (std::size_t list = 0; list < sizes.size(); ++list) {
    rules.exclusionsByRule[list].assign(sizes[list], {});
  }
  for (std::size_t e = 0; e < rules.config.exclusions.size(); ++e) {
    const CompiledExclusion& compiled = rules.exclusions[e];
    if (!compiled.usable) continue;
    const auto number = static_cast<uint32_t>(e);
    if (compiled.allRules) {
      rules.allRulesExclusions.push_back(number);
      continue;
    }
    for (std::size_t list = 0; list < sizes.size(); ++list) {
      for (std::size_t i = 0; i < sizes[list]; ++i) {
        const RuleRef ref{static_cast<RuleList>(list), i};
        const std::string name = RuleName(rules, ref);
        const std::string byPlace =
            std::string(RuleListName(ref.list)) + "#" + std::to_string(i + 1);
        for (const std::string& wanted : rules.config.exclusions[e].rules) {
          if (wanted == name || wanted == byPlace) {
            rules.exclusionsByRule[list][i].push_back(number);
            break;
          }
        }
      }
    }
  }
}

}  // namespace

int ClientValuePosition(const std::string& variable) {
  for (int position = 0; position < 4; ++position) {
    if (variable == kClientVariables[position]) return position;
  }
  return -1;
}

std::size_t CountRulesInForce(const RuleSet& rules) {
  std::size_t count = 0;
  using Kind = RuleSet::UrlRuleKind;
  for (std::size_t i = 0; i < rules.config.bFilters.size(); ++i) {
    const BuiltinRule& rule = rules.config.bFilters[i];
    switch (rules.bFilterKinds[i]) {
      case Kind::kRequestByIP:
        count += rules.requestByIpRule == static_cast<int>(i) && rule.enabled;
        break;
      case Kind::kMetaChar:
        count += (static_cast<uint32_t>(rule.enableMask) & 0xFFu) != 0;
        break;
      case Kind::kMaxUrlLength:
        ++count;
        break;
      case Kind::kSignature:
        count += rules.bFilterPatterns[i]->valid();
        break;
    }
  }
  for (const CompiledPatternPtr& pattern : rules.cFilterPatterns) count += pattern->valid();
  for (std::size_t i = 0; i < rules.sFilterPatterns.size(); ++i) {
    count += rules.sFilterPositions[i] >= 0 && rules.sFilterPatterns[i]->valid();
  }
  for (const auto& deep : rules.dFilterRules) count += deep.has_value();
  for (const CompiledPatternPtr& pattern : rules.rewritePatterns) count += pattern->valid();
  return count;
}

std::shared_ptr<const RuleSet> CompileRuleSet(FilterConfig config) {
  auto rules = std::make_shared<RuleSet>();
  PatternCompiler compiler;
  rules->bFilterPatterns = compiler.CompileAll(config.bFilters);
  rules->cFilterPatterns = compiler.CompileAll(config.cFilters);
  rules->sFilterPatterns = compiler.CompileAll(config.sFilters);
  rules->rewritePatterns = compiler.CompileAll(config.rewriteRules);
  for (std::size_t i = 0; i < kMetaCharCount; ++i) {
    rules->metaCharPatterns[i] = compiler.Compile(MetaCharPatterns[i]);
  }

  std::vector<CompiledPatternPtr> url = rules->bFilterPatterns;
  url.insert(url.end(), rules->metaCharPatterns.begin(), rules->metaCharPatterns.end());
  url.insert(url.end(), rules->cFilterPatterns.begin(), rules->cFilterPatterns.end());
  url.insert(url.end(), rules->rewritePatterns.begin(), rules->rewritePatterns.end());
  rules->urlPatterns = PatternSet(std::move(url));
  for (const VariableRule& rule : config.sFilters) {
    rules->sFilterPositions.push_back(ClientValuePosition(rule.variable));
  }
  for (int position = 0; position < 4; ++position) {
    std::vector<CompiledPatternPtr> client(config.sFilters.size());
    for (std::size_t i = 0; i < config.sFilters.size(); ++i) {
      if (rules->sFilterPositions[i] == position) {
        client[i] = rules->sFilterPatterns[i];
      }
    }
    rules->clientPatterns[static_cast<std::size_t>(position)] = PatternSet(std::move(client));
  }
  for (std::size_t i = 0; i < config.bFilters.size(); ++i) {
    const std::string& name = config.bFilters[i].name;
    using Kind = RuleSet::UrlRuleKind;
    if (name == "RequestByIP") {
      rules->bFilterKinds.push_back(Kind::kRequestByIP);
      if (rules->requestByIpRule < 0) rules->requestByIpRule = static_cast<int>(i);
    } else {
      rules->bFilterKinds.push_back(name == "MetaChar"       ? Kind::kMetaChar
                                    : name == "MaxURLLength" ? Kind::kMaxUrlLength
                                                             : Kind::kSignature);
      if (rules->bFilterKinds.back() == Kind::kMaxUrlLength) rules->maxUrlLengthRules.push_back(i);
    }
  }
  for (const FilterRule& rule : config.dFilters) rules->dFilterRules.push_back(FindDeepRule(rule.name));
  rules->config = std::move(config);
  // The deep rules' signatures are compiled with the rule set, not by the first request.
  if (rules->HasDeepRules()) BuiltInDeepSignatures();
  for (const Exclusion& exclusion : rules->config.exclusions) {
    rules->exclusions.push_back(CompileExclusion(exclusion));
  }
  IndexExclusions(*rules);
  return rules;
}

}  // namespace vell
