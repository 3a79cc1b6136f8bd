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

bool MetaCharFires(const BuiltinRule& rule, PatternSet::Scan& url, const RuleSet& rules) {
  const uint32_t mask = static_cast<uint32_t>(rule.enableMask);
  for (std::size_t i = 0; i < kMetaCharCount; ++i) {
    if (((mask >> i) & 1u) != 0 && url.Found(rules.UrlMetaCharIndex(i))) return true;
  }
  return false;
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

Verdict CheckRequestByIP(const std::string& serverName, const Inspection& in) {
  // Only the first record counts, enabled or not.
  if (in.rules.requestByIpRule < 0) return kNextNotification;
  const BuiltinRule& rule = in.rules.config.bFilters[static_cast<std::size_t>(in.rules.requestByIpRule)];
  if (!rule.enabled || !ServerNameIsAddress(serverName)) return kNextNotification;
  return ApplyRuleActions(rule.name, rule.actions, in);
}

Verdict CheckClientRules(const RequestInfo& info, const Inspection& in) {
  const auto& sFilters = in.rules.config.sFilters;
  // One pass over each client value that some rule tests, made when the first such rule is met.
  std::array<std::optional<PatternSet::Scan>, RequestInfo::kValueCount> scans;
  for (std::size_t i = 0; i < sFilters.size(); ++i) {
    const int position = in.rules.sFilterPositions[i];
    if (position < 0) continue;
    const auto p = static_cast<std::size_t>(position);
    if (!scans[p]) scans[p] = in.rules.clientPatterns[p].ScanSubject(info.values[p]);
    if (scans[p]->Found(i)) return ApplyRuleActions(sFilters[i].name, sFilters[i].actions, in);
  }
  return kNextNotification;
}

Verdict CheckUrlRules(const std::string& url, PatternSet::Scan& scan, const Inspection& in) {
  const auto& bFilters = in.rules.config.bFilters;
  using Kind = RuleSet::UrlRuleKind;
  // When the one pass found no pattern at all in the URL, only a length limit can fire.
  const bool patternsMayFire = !scan.NoneFound();
  for (std::size_t i = 0; i < bFilters.size(); ++i) {
    const BuiltinRule& rule = bFilters[i];
    const Kind kind = in.rules.bFilterKinds[i];
    if (!patternsMayFire && kind != Kind::kMaxUrlLength) continue;
    bool fires = false;
    switch (kind) {
      case Kind::kRequestByIP:
        continue;
      case Kind::kMetaChar:
        fires = MetaCharFires(rule, scan, in.rules);
        break;
      case Kind::kMaxUrlLength:
        fires = UrlOverLimit(rule, url);
        break;
      case Kind::kSignature:
        fires = scan.Found(i);
        break;
    }
    if (fires) return ApplyRuleActions(rule.name, rule.actions, in);
  }
  if (!patternsMayFire) return kNextNotification;
  const auto& cFilters = in.rules.config.cFilters;
  for (std::size_t i = 0; i < cFilters.size(); ++i) {
    if (scan.Found(in.rules.UrlCFilterIndex(i))) {
      return ApplyRuleActions(cFilters[i].name, cFilters[i].actions, in);
    }
  }
  return kNextNotification;
}

}  // namespace vell
