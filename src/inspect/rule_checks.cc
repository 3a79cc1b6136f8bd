// The three rule checks: RequestByIP on the server name, SFilter rules on the client values, and
// BFilter then CFilter rules on the URL. The first rule that fires, and that no Exclude line takes
// away from the request, decides its check.
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

#include "config/text.h"
#include "inspect/pipeline.h"

namespace vell {

namespace {

bool IsAddressCharacter(char c) { return (c >= '0' && c <= '9') || c == '-' || c == '.'; }

// The enabled metacharacter bits whose pattern occurs in the URL; with stopAtFirst, only the
// first of them.
// *gaveUp tells whether an enabled pattern's engine gave up.
uint32_t MetaCharBitsFound(const BuiltinRule& rule, PatternSet::Scan& url, const RuleSet& rules,
                           bool stopAtFirst, bool* gaveUp) {
  const uint32_t mask = static_cast<uint32_t>(rule.enableMask);
  uint32_t found = 0;
  for (std::size_t i = 0; i < kMetaCharCount; ++i) {
    if (((mask >> i) & 1u) == 0) continue;
    const MatchResult result = url.Result(rules.UrlMetaCharIndex(i));
    if (result == MatchResult::kGaveUp) *gaveUp = true;
    if (result != MatchResult::kMatch) continue;
    found |= 1u << i;
    if (stopAtFirst) break;
  }
  return found;
}

// Tells the observer that rule was tested on hit.subject. For a rule that fired, where it matched
// (hit.matched, or the match of hit.pattern) is worked out for the observer only.
void ReportRuleTo(Inspection& in, CheckKind check, const RuleHit& hit, bool fired,
                  uint32_t metaCharBits, bool excluded = false, int exclusion = -1) {
  TraceEvent event;
  event.type = excluded ? TraceEvent::Type::kExcluded : TraceEvent::Type::kRule;
  event.check = check;
  event.rule = hit.rule;
  event.fired = fired;
  event.gaveUp = hit.doubt != Doubt::kNone;
  event.exclusion = exclusion < 0 ? 0 : static_cast<std::size_t>(exclusion);
  event.subject = hit.subject;
  event.form = hit.form;
  event.metaCharBits = metaCharBits;
  event.ruleName = RuleAuditName(in.rules, hit.rule);
  if (fired && !hit.matched.empty()) {
    event.spanBegin = static_cast<std::size_t>(hit.matched.data() - hit.subject.data());
    event.spanEnd = event.spanBegin + hit.matched.size();
  } else if (fired && hit.pattern != nullptr) {
    if (const auto span = hit.pattern->FindFirst(hit.subject)) {
      event.spanBegin = span->begin;
      event.spanEnd = span->end;
    }
  }
  in.Report(event);
}

// The server path passes no observer: then this is one test and no call.
inline void ReportRule(Inspection& in, CheckKind check, RuleRef rule, bool fired,
                       std::string_view subject, const CompiledPattern* pattern,
                       uint32_t metaCharBits = 0) {
  if (in.observer != nullptr) {
    ReportRuleTo(in, check, RuleHit{rule, subject, pattern, {}, {}}, fired, metaCharBits);
  }
}

// A rule that fired, or is in doubt: its actions, unless an Exclude line takes it away from this
// request. Nothing (the check goes on with its next rule) when it is excluded, or when a doubt
// meets a rule that neither denies nor redirects.
// fired: the rule's test said yes; hit.doubt then only says why that answer was given without a
// match (a URL too long to read is over every length limit).
std::optional<Verdict> Fire(Inspection& in, CheckKind check, const RuleHit& hit,
                            const std::vector<RuleAction>& actions, uint32_t metaCharBits = 0,
                            bool fired = true) {
  const int exclusion = in.ExcludedBy(hit.rule);
  if (in.observer != nullptr) {
    ReportRuleTo(in, check, hit, fired, metaCharBits, exclusion >= 0, exclusion);
  }
  if (exclusion >= 0) return std::nullopt;
  const Verdict verdict = ApplyRuleActions(hit, actions, in);
  if (!fired && verdict == kNextNotification && !in.heldBack) return std::nullopt;
  return verdict;
}

// Test when the rule fired or is in doubt.
std::optional<Verdict> TestFiredOrInDoubt(Inspection& in, CheckKind check, RuleRef rule,
                                          MatchResult result, const std::vector<RuleAction>& actions,
                                          std::string_view subject, const CompiledPattern* pattern,
                                          uint32_t metaCharBits) {
  const bool fired = result == MatchResult::kMatch;
  const Doubt doubt = fired ? Doubt::kNone : Doubt::kPatternGaveUp;
  return Fire(in, check, RuleHit{rule, subject, pattern, {}, {}, doubt}, actions, metaCharBits, fired);
}

// A rule's test on subject: fired (with pattern, which matched), in doubt, or neither. Neither,
// the usual answer, is decided in place.
inline std::optional<Verdict> Test(Inspection& in, CheckKind check, RuleRef rule, MatchResult result,
                                   const std::vector<RuleAction>& actions, std::string_view subject,
                                   const CompiledPattern* pattern, uint32_t metaCharBits = 0) {
  if (result == MatchResult::kNoMatch) {
    ReportRule(in, check, rule, false, subject, nullptr);
    return std::nullopt;
  }
  return TestFiredOrInDoubt(in, check, rule, result, actions, subject, pattern, metaCharBits);
}

// A pattern rule on a value that could not be read: in doubt, unless its pattern never matches.
std::optional<Verdict> Unread(Inspection& in, CheckKind check, RuleRef rule, bool inForce,
                              const std::vector<RuleAction>& actions) {
  if (!inForce) {
    ReportRule(in, check, rule, false, {}, nullptr);
    return std::nullopt;
  }
  return Fire(in, check, RuleHit{rule, {}, nullptr, {}, {}, Doubt::kValueTooLong}, actions, 0, false);
}

// Where a deep rule's finding lies, for logs and explain: `argument "q" value, libinjection
// fingerprint "s&1c"`.
std::string DescribeFinding(const DeepFinding& finding) {
  std::string out;
  switch (finding.where) {
    case DeepSubjectKind::kPath: out = "decoded path"; break;
    case DeepSubjectKind::kArgumentName: out = "argument name \"" + finding.argumentName + "\""; break;
    case DeepSubjectKind::kArgumentValue: out = "argument \"" + finding.argumentName + "\" value"; break;
    case DeepSubjectKind::kQuery: out = "decoded query"; break;
  }
  if (finding.firstPass) out += " (first decoding pass)";
  out += ", " + finding.detector;
  if (finding.detector == "libinjection" && !finding.evidence.empty()) {
    out += " fingerprint \"" + finding.evidence + "\"";
  }
  return out;
}

}  // namespace

bool ServerNameIsAddress(const std::string& serverName) {
  for (char c : TrimWhitespaceView(serverName)) {
    if (!IsAddressCharacter(c)) return false;
  }
  return true;
}

bool UrlOverLimit(const BuiltinRule& rule, std::string_view url) {
  const uint32_t limit = static_cast<uint32_t>(rule.maxUrlLength);
  return url.size() > UINT32_MAX || static_cast<uint32_t>(url.size()) > limit;
}

Verdict CheckRequestByIP(Inspection& in) {
  const std::string& serverName = in.ServerName();
  if (in.observer != nullptr) {
    TraceEvent event;
    event.type = TraceEvent::Type::kCheck;
    event.check = CheckKind::kRequestByIP;
    event.subject = serverName;
    in.Report(event);
  }
  // Only the first record counts, enabled or not.
  if (in.rules.requestByIpRule < 0) return kNextNotification;
  const RuleRef ref{RuleList::kBFilter, static_cast<std::size_t>(in.rules.requestByIpRule)};
  const BuiltinRule& rule = in.rules.config.bFilters[ref.index];
  if (in.ServerNameTooLong()) {
    return Unread(in, CheckKind::kRequestByIP, ref, rule.enabled, rule.actions).value_or(kNextNotification);
  }
  const bool fires = rule.enabled && ServerNameIsAddress(serverName);
  return Test(in, CheckKind::kRequestByIP, ref, fires ? MatchResult::kMatch : MatchResult::kNoMatch,
              rule.actions, serverName, nullptr)
      .value_or(kNextNotification);
}

Verdict CheckClientRules(Inspection& in) {
  const RequestInfo& info = in.Info();
  if (in.observer != nullptr) {
    TraceEvent event;
    event.type = TraceEvent::Type::kCheck;
    event.check = CheckKind::kClient;
    event.subject = info.values[RequestInfo::kClientAddress];
    in.Report(event);
  }
  const auto& sFilters = in.rules.config.sFilters;
  // One pass over each client value that some rule tests, made when the first such rule is met.
  std::array<std::optional<PatternSet::Scan>, RequestInfo::kValueCount> scans;
  for (std::size_t i = 0; i < sFilters.size(); ++i) {
    const RuleRef ref{RuleList::kSFilter, i};
    const int position = in.rules.sFilterPositions[i];
    if (position < 0) {
      ReportRule(in, CheckKind::kClient, ref, false, {}, nullptr);
      continue;
    }
    const auto p = static_cast<std::size_t>(position);
    std::optional<Verdict> verdict;
    if (info.tooLong[p]) {
      verdict = Unread(in, CheckKind::kClient, ref, in.rules.sFilterPatterns[i]->valid(),
                       sFilters[i].actions);
    } else {
      const PatternSet& set = in.rules.clientPatterns[p];
      const CompiledPattern* pattern = in.rules.sFilterPatterns[i].get();
      MatchResult result;
      if (set.HasOnePass()) {
        if (!scans[p]) scans[p] = set.ScanSubject(info.values[p]);
        result = scans[p]->Result(i);
      } else {
        // Each rule is tested once, so a scan without a pass would only ask its pattern.
        result = pattern != nullptr ? pattern->Match(info.values[p]) : MatchResult::kNoMatch;
      }
      verdict = Test(in, CheckKind::kClient, ref, result, sFilters[i].actions, info.values[p], pattern);
    }
    if (verdict) return *verdict;
  }
  return kNextNotification;
}

Verdict CheckUrlRules(PatternSet::Scan& scan, Inspection& in) {
  const std::string& url = in.Url();
  const bool tooLong = in.UrlTooLong();
  const auto& bFilters = in.rules.config.bFilters;
  using Kind = RuleSet::UrlRuleKind;
  // When the one pass found no pattern at all in the URL, only a length limit can fire: then only
  // the length rules are walked. With an observer every rule is walked, so that each can be
  // reported.
  const bool patternsMayFire = tooLong || !scan.NoneFound() || in.observer != nullptr;
  const auto checkRule = [&](std::size_t i) -> std::optional<Verdict> {
    const BuiltinRule& rule = bFilters[i];
    const RuleRef ref{RuleList::kBFilter, i};
    switch (in.rules.bFilterKinds[i]) {
      case Kind::kRequestByIP:
        return std::nullopt;
      case Kind::kMetaChar: {
        const uint32_t mask = static_cast<uint32_t>(rule.enableMask) & 0xFFu;
        if (tooLong) return Unread(in, CheckKind::kUrl, ref, mask != 0, rule.actions);
        bool gaveUp = false;
        const uint32_t bits = MetaCharBitsFound(rule, scan, in.rules, in.observer == nullptr, &gaveUp);
        // The span shown is that of the lowest bit found.
        std::size_t bit = 0;
        while (bits != 0 && ((bits >> bit) & 1u) == 0) ++bit;
        const MatchResult result = bits != 0 ? MatchResult::kMatch
                                   : gaveUp  ? MatchResult::kGaveUp
                                             : MatchResult::kNoMatch;
        return Test(in, CheckKind::kUrl, ref, result, rule.actions, url,
                    bits != 0 ? in.rules.metaCharPatterns[bit].get() : nullptr, bits);
      }
      case Kind::kMaxUrlLength:
        if (tooLong) {
          // A URL too long to read is over every limit; its log lines say why.
          return Fire(in, CheckKind::kUrl, RuleHit{ref, {}, nullptr, {}, {}, Doubt::kValueTooLong},
                      rule.actions);
        }
        return Test(in, CheckKind::kUrl, ref,
                    UrlOverLimit(rule, url) ? MatchResult::kMatch : MatchResult::kNoMatch,
                    rule.actions, url, nullptr);
      case Kind::kSignature:
        return tooLong ? Unread(in, CheckKind::kUrl, ref, in.rules.bFilterPatterns[i]->valid(),
                                rule.actions)
                       : Test(in, CheckKind::kUrl, ref, scan.Result(i), rule.actions, url,
                              in.rules.bFilterPatterns[i].get());
    }
    return std::nullopt;
  };
  if (!patternsMayFire) {
    for (std::size_t i : in.rules.maxUrlLengthRules) {
      if (const std::optional<Verdict> verdict = checkRule(i)) return *verdict;
    }
    return kNextNotification;
  }
  for (std::size_t i = 0; i < bFilters.size(); ++i) {
    if (const std::optional<Verdict> verdict = checkRule(i)) return *verdict;
  }
  const auto& cFilters = in.rules.config.cFilters;
  for (std::size_t i = 0; i < cFilters.size(); ++i) {
    const RuleRef ref{RuleList::kCFilter, i};
    const std::optional<Verdict> verdict =
        tooLong ? Unread(in, CheckKind::kUrl, ref, in.rules.cFilterPatterns[i]->valid(),
                         cFilters[i].actions)
                : Test(in, CheckKind::kUrl, ref, scan.Result(in.rules.UrlCFilterIndex(i)),
                       cFilters[i].actions, url, in.rules.cFilterPatterns[i].get());
    if (verdict) return *verdict;
  }
  return kNextNotification;
}

Verdict CheckDeepRules(DeepRequest& deep, Inspection& in) {
  const RuleSet& rules = in.rules;
  // A URL that needs no decoding has no form but the raw one, which the URL rules have read.
  if (rules.config.deepInspection && (in.observer != nullptr || deep.HasDecodedForms())) {
    using Kind = RuleSet::UrlRuleKind;
    for (std::size_t i = 0; i < rules.config.bFilters.size(); ++i) {
      const CompiledPattern* pattern = rules.bFilterPatterns[i].get();
      if (rules.bFilterKinds[i] != Kind::kSignature || !pattern->valid()) continue;
      const RuleRef ref{RuleList::kBFilter, i};
      const auto found = deep.FindInForms(rules.urlPatterns, i);
      if (!found) {
        ReportRule(in, CheckKind::kDeep, ref, false, deep.url(), nullptr);
        continue;
      }
      const UrlForm& form = deep.forms()[found->form];
      const std::string where = std::string("decoded form \"") + form.name + "\"";
      const RuleHit hit{ref, form.text, pattern, where, {}};
      if (const auto verdict = Fire(in, CheckKind::kDeep, hit, rules.config.bFilters[i].actions)) {
        return *verdict;
      }
    }
  }
  for (std::size_t i = 0; i < rules.config.dFilters.size(); ++i) {
    const RuleRef ref{RuleList::kDFilter, i};
    const std::optional<DeepFinding> finding =
        rules.dFilterRules[i] ? deep.Test(*rules.dFilterRules[i]) : std::nullopt;
    if (!finding) {
      ReportRule(in, CheckKind::kDeep, ref, false, deep.url(), nullptr);
      continue;
    }
    const std::string where = DescribeFinding(*finding);
    const std::string_view text = finding->text;
    const RuleHit hit{ref, text, nullptr, where,
                      text.substr(std::min(finding->begin, text.size()),
                                  finding->end - std::min(finding->begin, finding->end))};
    if (const auto verdict = Fire(in, CheckKind::kDeep, hit, rules.config.dFilters[i].actions)) {
      return *verdict;
    }
  }
  return kNextNotification;
}

}  // namespace vell
