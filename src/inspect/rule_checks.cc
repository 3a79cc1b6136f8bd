// The three rule checks: RequestByIP on the server name, SFilter rules on the client values, and
// BFilter then CFilter rules on the URL. The first rule that fires decides its check.
#include <array>
#include <cstdint>
#include <optional>

#include "config/text.h"
#include "inspect/pipeline.h"

namespace vell {

namespace {

bool IsAddressCharacter(char c) { return (c >= '0' && c <= '9') || c == '-' || c == '.'; }

// A rule's test: it fired, or it could not tell (a doubt), or neither.
struct Outcome {
  bool fired = false;
  Doubt doubt = Doubt::kNone;
};

Outcome PatternOutcome(MatchResult result) {
  if (result == MatchResult::kMatch) return {true, Doubt::kNone};
  if (result == MatchResult::kGaveUp) return {false, Doubt::kPatternGaveUp};
  return {};
}

// Takes the rule's actions when it fired or was in doubt; nothing when the check goes on with the
// next rule (no match, or a doubt on a rule that neither denies nor redirects).
std::optional<Verdict> Decide(const Outcome& outcome, const FilterRule& rule, const Inspection& in) {
  if (!outcome.fired && outcome.doubt == Doubt::kNone) return std::nullopt;
  const Verdict verdict = ApplyRuleActions(rule.name, rule.actions, in, outcome.doubt);
  if (!outcome.fired && verdict == kNextNotification) return std::nullopt;
  return verdict;
}

Outcome MetaCharOutcome(const BuiltinRule& rule, PatternSet::Scan& url, const RuleSet& rules) {
  const uint32_t mask = static_cast<uint32_t>(rule.enableMask);
  Outcome outcome;
  for (std::size_t i = 0; i < kMetaCharCount; ++i) {
    if (((mask >> i) & 1u) == 0) continue;
    const Outcome one = PatternOutcome(url.Result(rules.UrlMetaCharIndex(i)));
    if (one.fired) return one;
    if (one.doubt != Doubt::kNone) outcome = one;
  }
  return outcome;
}

}  // namespace

bool ServerNameIsAddress(const std::string& serverName) {
  for (char c : TrimWhitespace(serverName)) {
    if (!IsAddressCharacter(c)) return false;
  }
  return true;
}

bool UrlOverLimit(const BuiltinRule& rule, std::string_view url) {
  const uint32_t limit = static_cast<uint32_t>(rule.maxUrlLength);
  return url.size() > UINT32_MAX || static_cast<uint32_t>(url.size()) > limit;
}

Verdict CheckRequestByIP(const std::string& serverName, const Inspection& in, bool tooLong) {
  // Only the first record counts, enabled or not.
  if (in.rules.requestByIpRule < 0) return kNextNotification;
  const BuiltinRule& rule = in.rules.config.bFilters[static_cast<std::size_t>(in.rules.requestByIpRule)];
  if (!rule.enabled) return kNextNotification;
  const Outcome outcome = tooLong ? Outcome{false, Doubt::kValueTooLong}
                                  : Outcome{ServerNameIsAddress(serverName), Doubt::kNone};
  return Decide(outcome, rule, in).value_or(kNextNotification);
}

Verdict CheckClientRules(const RequestInfo& info, const Inspection& in) {
  const auto& sFilters = in.rules.config.sFilters;
  // One pass over each client value that some rule tests, made when the first such rule is met.
  std::array<std::optional<PatternSet::Scan>, RequestInfo::kValueCount> scans;
  for (std::size_t i = 0; i < sFilters.size(); ++i) {
    const int position = in.rules.sFilterPositions[i];
    if (position < 0) continue;
    const auto p = static_cast<std::size_t>(position);
    Outcome outcome;
    if (info.tooLong[p]) {
      if (in.rules.sFilterPatterns[i]->valid()) outcome.doubt = Doubt::kValueTooLong;
    } else {
      if (!scans[p]) scans[p] = in.rules.clientPatterns[p].ScanSubject(info.values[p]);
      outcome = PatternOutcome(scans[p]->Result(i));
    }
    if (const auto verdict = Decide(outcome, sFilters[i], in)) return *verdict;
  }
  return kNextNotification;
}

Verdict CheckUrlRules(const std::string& url, PatternSet::Scan& scan, const Inspection& in,
                      bool urlTooLong) {
  const auto& bFilters = in.rules.config.bFilters;
  using Kind = RuleSet::UrlRuleKind;
  // When the one pass found no pattern at all in the URL, only a length limit can fire.
  const bool patternsMayFire = urlTooLong || !scan.NoneFound();
  // A pattern rule on a URL that could not be read: in doubt, unless its pattern never matches.
  const auto unread = [](bool inForce) {
    return Outcome{false, inForce ? Doubt::kValueTooLong : Doubt::kNone};
  };
  for (std::size_t i = 0; i < bFilters.size(); ++i) {
    const BuiltinRule& rule = bFilters[i];
    const Kind kind = in.rules.bFilterKinds[i];
    if (!patternsMayFire && kind != Kind::kMaxUrlLength) continue;
    Outcome outcome;
    switch (kind) {
      case Kind::kRequestByIP:
        continue;
      case Kind::kMetaChar:
        outcome = urlTooLong ? unread((static_cast<uint32_t>(rule.enableMask) & 0xFFu) != 0)
                             : MetaCharOutcome(rule, scan, in.rules);
        break;
      case Kind::kMaxUrlLength:
        // Too long to read is over every limit.
        outcome = urlTooLong ? Outcome{true, Doubt::kValueTooLong}
                             : Outcome{UrlOverLimit(rule, url), Doubt::kNone};
        break;
      case Kind::kSignature:
        outcome = urlTooLong ? unread(in.rules.bFilterPatterns[i]->valid())
                             : PatternOutcome(scan.Result(i));
        break;
    }
    if (const auto verdict = Decide(outcome, rule, in)) return *verdict;
  }
  if (!patternsMayFire) return kNextNotification;
  const auto& cFilters = in.rules.config.cFilters;
  for (std::size_t i = 0; i < cFilters.size(); ++i) {
    const Outcome outcome = urlTooLong ? unread(in.rules.cFilterPatterns[i]->valid())
                                       : PatternOutcome(scan.Result(in.rules.UrlCFilterIndex(i)));
    if (const auto verdict = Decide(outcome, cFilters[i], in)) return *verdict;
  }
  return kNextNotification;
}

}  // namespace vell
