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
  rules->config = std::move(config);
  return rules;
}

}  // namespace vell
