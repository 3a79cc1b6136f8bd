// The URL rewrite: the first Rewrite rule whose pattern occurs in the URL replaces its first match.
#include <exception>
#include <new>
#include <vector>

#include "inspect/pipeline.h"

namespace vell {

namespace {

const std::vector<RuleAction> kLogOnly = {{ActionKind::Log, ""}};

void ReportRewriteRule(Inspection& in, std::size_t rule, bool fired, bool gaveUp,
                       const std::string& url) {
  if (in.observer == nullptr) return;
  TraceEvent event;
  event.type = TraceEvent::Type::kRule;
  event.check = CheckKind::kRewrite;
  event.rule = {RuleList::kRewrite, rule};
  event.fired = fired;
  event.gaveUp = gaveUp;
  event.subject = url;
  if (fired) {
    if (const auto span = in.rules.rewritePatterns[rule]->FindFirst(url)) {
      event.spanBegin = span->begin;
      event.spanEnd = span->end;
    }
  }
  in.Report(event);
}

}  // namespace

Verdict ApplyRewriteRules(PatternSet::Scan& urlScan, Inspection& in) {
  if (urlScan.NoneFound() && in.observer == nullptr) return kNextNotification;
  const std::string& url = in.Url();
  const auto& rewriteRules = in.rules.config.rewriteRules;
  for (std::size_t i = 0; i < rewriteRules.size(); ++i) {
    const CompiledPattern& pattern = *in.rules.rewritePatterns[i];
    const MatchResult result = urlScan.Result(in.rules.UrlRewriteIndex(i));
    if (result == MatchResult::kNoMatch) {
      ReportRewriteRule(in, i, false, false, url);
      continue;
    }
    std::string rewritten;
    bool gaveUp = result == MatchResult::kGaveUp;
    if (!gaveUp) {
      try {
        rewritten = pattern.ReplaceFirst(url, rewriteRules[i].replacement);
      } catch (const std::bad_alloc&) {
        throw;
      } catch (const std::exception&) {
        gaveUp = true;
      }
    }
    if (gaveUp) {
      // Matching gave up on this URL: the rule counts as not applying, and the log says so.
      ReportRewriteRule(in, i, false, true, url);
      ApplyRuleActions(RuleHit{{RuleList::kRewrite, i}, url, nullptr, {}, {}, Doubt::kPatternGaveUp},
                       kLogOnly, in);
      continue;
    }
    ReportRewriteRule(in, i, true, false, url);
    in.server.SetHeader("url", rewritten.c_str());
    if (in.observer != nullptr) {
      TraceEvent event;
      event.type = TraceEvent::Type::kRewrite;
      event.check = CheckKind::kRewrite;
      event.rule = {RuleList::kRewrite, i};
      event.text = rewritten;
      in.Report(event);
    }
    in.newUrl = std::move(rewritten);
    return kHandledNotification;
  }
  return kNextNotification;
}

}  // namespace vell
