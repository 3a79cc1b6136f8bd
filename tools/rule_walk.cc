// Works out the filter's decision for one request from the compiled rules, in the filter's order,
// and records which rule fired, where its pattern matched and what its actions did.
#include "tools/rule_walk.h"

#include "inspect/pipeline.h"

namespace vell::tools {

namespace {

const FilterRule& RuleRecord(const RuleSet& rules, RuleRef rule) {
  switch (rule.list) {
    case RuleList::BFilter: return rules.config.bFilters[rule.index];
    case RuleList::CFilter: return rules.config.cFilters[rule.index];
    case RuleList::SFilter: return rules.config.sFilters[rule.index];
    case RuleList::Rewrite: break;
  }
  static const FilterRule kNone;
  return kNone;
}

// The request's value at a client rule's position (see RuleSet::sFilterPositions).
const std::string* ClientValue(int position, const WalkRequest& request) {
  switch (position) {
    case RequestInfo::kClientAddress: return &request.remoteAddr;
    case RequestInfo::kClientHost: return &request.remoteHost;
    case RequestInfo::kRequestMethod: return &request.method;
    case RequestInfo::kReferer: return &request.referer;
  }
  return nullptr;
}

RuleMatch PatternMatch(const CompiledPattern& pattern, const std::string& subject, bool wantSpan) {
  RuleMatch match;
  if (wantSpan) {
    const auto span = pattern.FindFirst(subject);
    if (span) {
      match.matched = true;
      match.span = std::make_pair(span->begin, span->end);
    }
  } else {
    match.matched = pattern.Search(subject);
  }
  return match;
}

// Takes the rule's actions (or the defaults when it has none) the way the filter does: every
// "log" writes a line, then the first "deny" or "redirect" decides.
RuleHit ApplyActions(const RuleSet& rules, Check check, RuleRef ref, const RuleMatch& match) {
  RuleHit hit;
  hit.check = check;
  hit.rule = ref;
  hit.match = match;
  const FilterRule& record = RuleRecord(rules, ref);
  hit.ownActions = !record.actions.empty();
  hit.actions = hit.ownActions ? record.actions : rules.config.defaultActions;
  for (const RuleAction& action : hit.actions) {
    if (action.kind == ActionKind::Log) ++hit.logLines;
  }
  for (const RuleAction& action : hit.actions) {
    if (action.kind == ActionKind::Deny) {
      hit.verdict = kVerdictDeny;
      break;
    }
    if (action.kind == ActionKind::Redirect) {
      hit.verdict = kVerdictHandled;
      hit.newUrl = action.argument;
      break;
    }
  }
  return hit;
}

}  // namespace

const char* CheckName(Check check) {
  switch (check) {
    case Check::RequestByIP: return "RequestByIP";
    case Check::Client: return "client rules";
    case Check::Url: return "URL rules";
    case Check::Rewrite: return "Rewrite";
  }
  return "?";
}

const char* RuleListName(RuleList list) {
  switch (list) {
    case RuleList::BFilter: return "BFilter";
    case RuleList::CFilter: return "CFilter";
    case RuleList::SFilter: return "SFilter";
    case RuleList::Rewrite: return "Rewrite";
  }
  return "?";
}

std::string RuleAuditName(const RuleSet& rules, RuleRef rule) {
  if (rule.list == RuleList::Rewrite) return "";
  return RuleRecord(rules, rule).name;
}

std::string RulePattern(const RuleSet& rules, RuleRef rule) {
  if (rule.list == RuleList::Rewrite) return rules.config.rewriteRules[rule.index].pattern;
  return RuleRecord(rules, rule).pattern;
}

std::string RuleLabel(const RuleSet& rules, RuleRef rule) {
  const std::string number = "#" + std::to_string(rule.index + 1);
  switch (rule.list) {
    case RuleList::BFilter:
    case RuleList::CFilter: {
      const std::string& name = RuleRecord(rules, rule).name;
      if (!name.empty()) return name;
      return std::string(RuleListName(rule.list)) + number;
    }
    case RuleList::SFilter: {
      const VariableRule& record = rules.config.sFilters[rule.index];
      std::string label = "SFilter" + number + " " + record.variable + " ~ " + record.pattern;
      if (!record.name.empty()) label = record.name + " (" + label + ")";
      return label;
    }
    case RuleList::Rewrite: {
      const RewriteRule& record = rules.config.rewriteRules[rule.index];
      return "Rewrite" + number + " " + record.pattern + " => " + record.replacement;
    }
  }
  return "?";
}

RuleMatch MatchRule(const RuleSet& rules, RuleRef rule, const WalkRequest& request,
                    bool wantSpan) {
  RuleMatch none;
  switch (rule.list) {
    case RuleList::SFilter: {
      const std::string* subject = ClientValue(rules.sFilterPositions[rule.index], request);
      if (!subject) return none;
      return PatternMatch(*rules.sFilterPatterns[rule.index], *subject, wantSpan);
    }
    case RuleList::CFilter:
      return PatternMatch(*rules.cFilterPatterns[rule.index], request.url, wantSpan);
    case RuleList::Rewrite:
      return PatternMatch(*rules.rewritePatterns[rule.index], request.url, wantSpan);
    case RuleList::BFilter: break;
  }
  const BuiltinRule& record = rules.config.bFilters[rule.index];
  using Kind = RuleSet::UrlRuleKind;
  switch (rules.bFilterKinds[rule.index]) {
    case Kind::kRequestByIP: {
      // Only the first such rule counts, and only on the server name.
      if (rules.requestByIpRule != static_cast<int>(rule.index) || !record.enabled) return none;
      RuleMatch match;
      match.matched = ServerNameIsAddress(request.serverName);
      return match;
    }
    case Kind::kMetaChar: {
      const uint32_t mask = static_cast<uint32_t>(record.enableMask);
      for (std::size_t i = 0; i < kMetaCharCount; ++i) {
        if (!((mask >> i) & 1u)) continue;
        RuleMatch match = PatternMatch(*rules.metaCharPatterns[i], request.url, wantSpan);
        if (match.matched) {
          match.metaChar = static_cast<int>(i);
          return match;
        }
      }
      return none;
    }
    case Kind::kMaxUrlLength: {
      RuleMatch match;
      match.matched = UrlOverLimit(record, request.url);
      const auto limit = static_cast<std::size_t>(static_cast<uint32_t>(record.maxUrlLength));
      if (match.matched && wantSpan) match.span = std::make_pair(limit, request.url.size());
      return match;
    }
    case Kind::kSignature: break;
  }
  return PatternMatch(*rules.bFilterPatterns[rule.index], request.url, wantSpan);
}

WalkResult WalkRules(const RuleSet& rules, const WalkRequest& request, WalkTrace* trace) {
  WalkResult result;
  const FilterConfig& config = rules.config;
  const bool wantSpan = trace != nullptr;
  bool decided = false;

  // Tries the rules of one check in order; the first match fires and ends the check. With a
  // trace, the rest are still evaluated so that explain can show what else would have matched.
  auto runCheck = [&](Check check, const std::string& subject, const std::vector<RuleRef>& order) {
    CheckTrace* checkTrace = nullptr;
    if (trace) {
      trace->checks.push_back(CheckTrace{check, subject, !decided, {}});
      checkTrace = &trace->checks.back();
    }
    bool fired = decided;
    for (const RuleRef& ref : order) {
      if (fired && !trace) break;
      // RequestByIP rules belong to their own check; the URL check passes over them.
      if (check == Check::Url && ref.list == RuleList::BFilter &&
          rules.bFilterKinds[ref.index] == RuleSet::UrlRuleKind::kRequestByIP) {
        continue;
      }
      const RuleMatch match = MatchRule(rules, ref, request, wantSpan);
      if (checkTrace && (!fired || match.matched)) checkTrace->tried.push_back({ref, match, !fired});
      if (!match.matched || fired) continue;
      fired = true;
      RuleHit hit;
      if (check == Check::Rewrite) {
        hit.check = check;
        hit.rule = ref;
        hit.match = match;
        try {
          hit.newUrl = rules.rewritePatterns[ref.index]->ReplaceFirst(
              request.url, config.rewriteRules[ref.index].replacement);
        } catch (const std::exception&) {
          hit.newUrl = request.url;
        }
        hit.verdict = kVerdictHandled;
        result.rewritten = true;
      } else {
        hit = ApplyActions(rules, check, ref, match);
      }
      if (hit.verdict != kVerdictNext) {
        decided = true;
        result.verdict = hit.verdict;
        result.newUrl = hit.newUrl;
      }
      result.hits.push_back(std::move(hit));
    }
  };

  std::vector<RuleRef> order;
  if (rules.requestByIpRule >= 0) {
    order.push_back({RuleList::BFilter, static_cast<std::size_t>(rules.requestByIpRule)});
  }
  runCheck(Check::RequestByIP, request.serverName, order);
  if (decided && !trace) return result;

  order.clear();
  for (std::size_t i = 0; i < config.sFilters.size(); ++i) order.push_back({RuleList::SFilter, i});
  runCheck(Check::Client, request.remoteAddr, order);
  if (decided && !trace) return result;

  order.clear();
  for (std::size_t i = 0; i < config.bFilters.size(); ++i) order.push_back({RuleList::BFilter, i});
  for (std::size_t i = 0; i < config.cFilters.size(); ++i) order.push_back({RuleList::CFilter, i});
  runCheck(Check::Url, request.url, order);
  if (decided && !trace) return result;

  order.clear();
  for (std::size_t i = 0; i < config.rewriteRules.size(); ++i) {
    order.push_back({RuleList::Rewrite, i});
  }
  runCheck(Check::Rewrite, request.url, order);
  return result;
}

}  // namespace vell::tools
