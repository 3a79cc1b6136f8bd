// The three rule checks: RequestByIP on the server name, SFilter rules on the client values, and
// BFilter then CFilter rules on the URL. The first rule that fires decides its check.
#include <cstdint>

#include "config/text.h"
#include "inspect/pipeline.h"

namespace vell {

namespace {

bool IsAddressCharacter(char c) { return (c >= '0' && c <= '9') || c == '-' || c == '.'; }

// The RequestInfo position of an SFilter variable, or -1 for a name the filter does not know.
int ClientValuePosition(const std::string& variable) {
  if (variable == "REMOTE_ADDR") return RequestInfo::kClientAddress;
  if (variable == "REMOTE_HOST") return RequestInfo::kClientHost;
  if (variable == "REQUEST_METHOD") return RequestInfo::kRequestMethod;
  if (variable == "HTTP_REFERER") return RequestInfo::kReferer;
  return -1;
}

bool MetaCharFires(const BuiltinRule& rule, const std::string& url, const RuleSet& rules) {
  const uint32_t mask = static_cast<uint32_t>(rule.enableMask);
  for (std::size_t i = 0; i < kMetaCharCount; ++i) {
    if (((mask >> i) & 1u) != 0 && rules.metaCharPatterns[i]->Search(url)) return true;
  }
  return false;
}

}  // namespace

Verdict CheckRequestByIP(const std::string& serverName, const Inspection& in) {
  for (const BuiltinRule& rule : in.rules.config.bFilters) {
    if (rule.name != "RequestByIP") continue;
    // Only the first record counts, enabled or not.
    if (!rule.enabled) return kNextNotification;
    for (char c : TrimWhitespace(serverName)) {
      if (!IsAddressCharacter(c)) return kNextNotification;
    }
    return ApplyRuleActions(rule.name, rule.actions, in);
  }
  return kNextNotification;
}

Verdict CheckClientRules(const RequestInfo& info, const Inspection& in) {
  const auto& sFilters = in.rules.config.sFilters;
  for (std::size_t i = 0; i < sFilters.size(); ++i) {
    const int position = ClientValuePosition(sFilters[i].variable);
    if (position < 0) continue;
    if (in.rules.sFilterPatterns[i]->Search(info.values[static_cast<std::size_t>(position)])) {
      return ApplyRuleActions(sFilters[i].name, sFilters[i].actions, in);
    }
  }
  return kNextNotification;
}

Verdict CheckUrlRules(const std::string& url, const Inspection& in) {
  const auto& bFilters = in.rules.config.bFilters;
  for (std::size_t i = 0; i < bFilters.size(); ++i) {
    const BuiltinRule& rule = bFilters[i];
    bool fires = false;
    if (rule.name == "RequestByIP") {
      continue;
    } else if (rule.name == "MetaChar") {
      fires = MetaCharFires(rule, url, in.rules);
    } else if (rule.name == "MaxURLLength") {
      // Both as unsigned 32-bit numbers: a negative limit never fires, and a length beyond
      // 32 bits is over every limit.
      const uint32_t limit = static_cast<uint32_t>(rule.maxUrlLength);
      fires = url.size() > UINT32_MAX || static_cast<uint32_t>(url.size()) > limit;
    } else {
      fires = in.rules.bFilterPatterns[i]->Search(url);
    }
    if (fires) return ApplyRuleActions(rule.name, rule.actions, in);
  }
  const auto& cFilters = in.rules.config.cFilters;
  for (std::size_t i = 0; i < cFilters.size(); ++i) {
    if (in.rules.cFilterPatterns[i]->Search(url)) {
      return ApplyRuleActions(cFilters[i].name, cFilters[i].actions, in);
    }
  }
  return kNextNotification;
}

}  // namespace vell
