// The URL rewrite: the first Rewrite rule whose pattern occurs in the URL replaces its first match.
#include <exception>
#include <new>

#include "inspect/pipeline.h"

namespace vell {

Verdict ApplyRewriteRules(const std::string& url, PatternSet::Scan& urlScan, const Inspection& in) {
  if (urlScan.NoneFound()) return kNextNotification;
  const auto& rewriteRules = in.rules.config.rewriteRules;
  for (std::size_t i = 0; i < rewriteRules.size(); ++i) {
    const CompiledPattern& pattern = *in.rules.rewritePatterns[i];
    if (!urlScan.Found(in.rules.UrlRewriteIndex(i))) continue;
    std::string rewritten;
    try {
      rewritten = pattern.ReplaceFirst(url, rewriteRules[i].replacement);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception&) {
      // Matching gave up on this URL (too complex): the rule counts as not applying.
      continue;
    }
    in.server.SetHeader("url", rewritten.c_str());
    return kHandledNotification;
  }
  return kNextNotification;
}

}  // namespace vell
