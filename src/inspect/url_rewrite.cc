// The URL rewrite: the first Rewrite rule whose pattern occurs in the URL replaces its first match.
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "inspect/pipeline.h"

namespace vell {

namespace {

const std::vector<RuleAction> kLogOnly = {{ActionKind::Log, ""}};

}  // namespace

Verdict ApplyRewriteRules(const std::string& url, PatternSet::Scan& urlScan, const Inspection& in) {
  if (urlScan.NoneFound()) return kNextNotification;
  const auto& rewriteRules = in.rules.config.rewriteRules;
  for (std::size_t i = 0; i < rewriteRules.size(); ++i) {
    const CompiledPattern& pattern = *in.rules.rewritePatterns[i];
    const MatchResult result = urlScan.Result(in.rules.UrlRewriteIndex(i));
    std::string rewritten;
    bool gaveUp = result == MatchResult::kGaveUp;
    if (result == MatchResult::kMatch) {
      try {
        rewritten = pattern.ReplaceFirst(url, rewriteRules[i].replacement);
      } catch (const std::bad_alloc&) {
        throw;
      } catch (const std::exception&) {
        gaveUp = true;  // the backtracking engine gave up on finding the match
      }
    }
    if (gaveUp) {
      // The rule counts as not applying; the log says so.
      ApplyRuleActions("Rewrite#" + std::to_string(i + 1), kLogOnly, in, Doubt::kPatternGaveUp);
    }
    if (result != MatchResult::kMatch || gaveUp) continue;
    in.server.SetHeader("url", rewritten.c_str());
    return kHandledNotification;
  }
  return kNextNotification;
}

}  // namespace vell
