// The filter's decision for one request, worked out from the compiled rules instead of through the
// module, with a record of which rule fired where. The module does not say which rule decided a
// request, so vell explain and vell replay use this walk to name it; replay checks its verdict
// against the module's for every request.
#ifndef VELL_TOOLS_RULE_WALK_H_
#define VELL_TOOLS_RULE_WALK_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "inspect/rule_set.h"

namespace vell::tools {

inline constexpr uint32_t kVerdictNext = 0x8000002;
inline constexpr uint32_t kVerdictHandled = 0x8000003;
inline constexpr uint32_t kVerdictDeny = 0x8000004;

// What the filter reads of one request, as the server answers its reads.
struct WalkRequest {
  std::string serverName;  // "SERVER_NAME"
  std::string remoteAddr;  // "REMOTE_ADDR"
  std::string remoteHost;  // "REMOTE_HOST"
  std::string method;      // "REQUEST_METHOD"
  std::string referer;     // the value cut out of "ALL_HTTP"
  std::string url;         // the "url" header
};

enum class Check { RequestByIP, Client, Url, Rewrite };
// "RequestByIP", "client rules", "URL rules", "Rewrite".
const char* CheckName(Check check);

enum class RuleList { BFilter, CFilter, SFilter, Rewrite };
const char* RuleListName(RuleList list);

// A rule by its place in the configuration.
struct RuleRef {
  RuleList list = RuleList::BFilter;
  std::size_t index = 0;
  bool operator==(const RuleRef&) const = default;
  bool operator<(const RuleRef& other) const {
    return list != other.list ? list < other.list : index < other.index;
  }
};

// Whether one rule matches its subject, and where.
struct RuleMatch {
  bool matched = false;
  std::optional<std::pair<std::size_t, std::size_t>> span;  // [begin, end) in the subject
  int metaChar = -1;  // "MetaChar": the first enabled pattern index that matched
};

// A rule that fired and what its actions did.
struct RuleHit {
  Check check = Check::Url;
  RuleRef rule;
  RuleMatch match;
  bool ownActions = true;        // false: the default actions were taken
  std::vector<RuleAction> actions;  // the list that was taken
  int logLines = 0;              // audit lines written (one per "log")
  uint32_t verdict = kVerdictNext;
  std::string newUrl;            // redirect target, or the rewritten URL
};

struct WalkResult {
  uint32_t verdict = kVerdictNext;
  // Every rule that fired, in pipeline order: log-only hits that ended their check and let the
  // pipeline go on, then the rule or rewrite that decided, if any.
  std::vector<RuleHit> hits;
  std::string newUrl;  // the "url" header after a redirect or rewrite
  bool rewritten = false;
  bool logged() const {
    for (const RuleHit& hit : hits) {
      if (hit.logLines > 0) return true;
    }
    return false;
  }
};

// One rule as explain shows it being tried.
struct TriedRule {
  RuleRef rule;
  RuleMatch match;
  // true: the pipeline tried it; false: it comes after the rule that ended its check or after the
  // decision, and is listed only because it would have matched.
  bool reached = true;
};

struct CheckTrace {
  Check check = Check::Url;
  std::string subject;  // what the check looked at (the server name, the URL, ...)
  bool reached = false;
  std::vector<TriedRule> tried;
};

struct WalkTrace {
  std::vector<CheckTrace> checks;  // in pipeline order, all four
};

// Runs the request through the checks in the filter's order: RequestByIP on the server name, the
// SFilter rules on the client values, the BFilter then CFilter rules on the URL, then the Rewrite
// rules. The first rule that fires ends its check; its actions decide, and a decision other than
// "go on" ends the pipeline. When trace is given, every rule of every check is evaluated and
// recorded, those beyond the decision marked as not reached.
WalkResult WalkRules(const RuleSet& rules, const WalkRequest& request, WalkTrace* trace = nullptr);

// Whether rule matches the request's value for its check.
RuleMatch MatchRule(const RuleSet& rules, RuleRef rule, const WalkRequest& request,
                    bool wantSpan);

// The name a rule goes by in the audit log ("" for SFilter rules, which have none), and a label
// that tells rules apart when names are empty or repeated: "SFilter#2 REMOTE_ADDR ~ ^10\." etc.
std::string RuleAuditName(const RuleSet& rules, RuleRef rule);
std::string RuleLabel(const RuleSet& rules, RuleRef rule);
// The pattern text the rule is matched by, "" for rules that have none.
std::string RulePattern(const RuleSet& rules, RuleRef rule);

}  // namespace vell::tools

#endif  // VELL_TOOLS_RULE_WALK_H_
