// The request path: the pipeline that the preprocessed-headers notification runs, the three rule
// checks, the actions of a rule that fired and the URL rewrite. Every function works on one
// request through a ServerRequest, reads the rule snapshot without a lock and may run on any
// number of threads at once; none throws for any bytes of any length (only memory exhaustion).
#ifndef VELL_INSPECT_PIPELINE_H_
#define VELL_INSPECT_PIPELINE_H_

#include <string>
#include <string_view>
#include <vector>

#include "auditlog/audit_log.h"
#include "config/rule_records.h"
#include "inspect/rule_set.h"
#include "inspect/server_request.h"
#include "platform/platform.h"

namespace vell {

// What one call of the request path works with: the compiled rules, the audit log's writer and
// the request.
struct Inspection {
  const RuleSet& rules;
  AuditLog& auditLog;
  ServerRequest& server;
};

// Reads the request's values in a fixed order, each only when the check that needs it is reached,
// and runs CheckRequestByIP, CheckClientRules, CheckUrlRules and ApplyRewriteRules in that order.
// The first verdict other than kNextNotification is returned at once.
Verdict RunRequestPipeline(const Inspection& in);

// The first BFilter rule named "RequestByIP", when enabled, fires on a server name made only of
// digits, "-" and "." once trimmed (the empty name included): ServerNameIsAddress.
Verdict CheckRequestByIP(const std::string& serverName, const Inspection& in);
bool ServerNameIsAddress(const std::string& serverName);

// Whether a "MaxURLLength" rule fires: both lengths as unsigned 32-bit numbers, so that a negative
// limit never fires and a length beyond 32 bits is over every limit.
bool UrlOverLimit(const BuiltinRule& rule, std::string_view url);

// The SFilter rules, each on the RequestInfo value its variable names; unknown variables never
// fire.
Verdict CheckClientRules(const RequestInfo& info, const Inspection& in);

// The BFilter rules (signatures, "MetaChar", "MaxURLLength"), then the CFilter rules, on the URL.
// urlScan is the scan of url by the rules' URL patterns, which the rewrite uses as well.
Verdict CheckUrlRules(const std::string& url, PatternSet::Scan& urlScan, const Inspection& in);

// Carries out the actions of a rule that fired: its own, or the default actions when it has none.
// Writes one audit line per "log", then acts on the first "deny" (last error 87, kRequestError)
// or "redirect" (the "url" header replaced, kHandledNotification); otherwise kNextNotification.
Verdict ApplyRuleActions(const std::string& name, const std::vector<RuleAction>& actions,
                         const Inspection& in);

// The first Rewrite rule whose pattern occurs in the URL replaces the first match and sets the
// "url" header (kHandledNotification); kNextNotification when none applies.
Verdict ApplyRewriteRules(const std::string& url, PatternSet::Scan& urlScan, const Inspection& in);

}  // namespace vell

#endif  // VELL_INSPECT_PIPELINE_H_
