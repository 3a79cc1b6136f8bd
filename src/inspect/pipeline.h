// The request path: the pipeline that the preprocessed-headers notification runs, the three rule
// checks, the actions of a rule that fired and the URL rewrite. Every function works on one
// request through a ServerRequest, reads the rule snapshot without a lock and may run on any
// number of threads at once; none throws for any bytes of any length (only memory exhaustion).
#ifndef VELL_INSPECT_PIPELINE_H_
#define VELL_INSPECT_PIPELINE_H_

#include <string>
#include <string_view>
#include <vector>

#include "config/rule_records.h"
#include "inspect/rule_set.h"
#include "inspect/server_request.h"
#include "platform/platform.h"

namespace vell {

// What one call of the request path works with: the compiled rules, the audit log's lock and the
// request.
struct Inspection {
  const RuleSet& rules;
  platform::CriticalSection& logLock;
  ServerRequest& server;
};

// Why a rule acts although no pattern was seen to match: its pattern engine gave up on the value,
// or the value could not be read for its size. The audit lines of such a rule say so after its
// name ("Name (pattern gave up)"), and at least one line is written even for a rule without "log".
// A rule whose actions deny or redirect acts as if it had matched, so that the request is never
// let through unseen; a rule that would only log writes its line, and the check goes on with the
// next rule.
enum class Doubt { kNone, kPatternGaveUp, kValueTooLong };

// Reads the request's values in a fixed order, each only when the check that needs it is reached,
// and runs CheckRequestByIP, CheckClientRules, CheckUrlRules and ApplyRewriteRules in that order.
// The first verdict other than kNextNotification is returned at once.
Verdict RunRequestPipeline(const Inspection& in);

// The first BFilter rule named "RequestByIP", when enabled, fires on a server name made only of
// digits, "-" and "." once trimmed (the empty name included): ServerNameIsAddress. A name too long
// to read is a doubt.
Verdict CheckRequestByIP(const std::string& serverName, const Inspection& in, bool tooLong = false);
bool ServerNameIsAddress(const std::string& serverName);

// Whether a "MaxURLLength" rule fires: both lengths as unsigned 32-bit numbers, so that a negative
// limit never fires and a length beyond 32 bits is over every limit.
bool UrlOverLimit(const BuiltinRule& rule, std::string_view url);

// The SFilter rules, each on the RequestInfo value its variable names; unknown variables never
// fire. A give-up, or a value too long to read, is a doubt.
Verdict CheckClientRules(const RequestInfo& info, const Inspection& in);

// The BFilter rules (signatures, "MetaChar", "MaxURLLength"), then the CFilter rules, on the URL.
// urlScan is the scan of url by the rules' URL patterns, which the rewrite uses as well. A URL too
// long to read (urlTooLong) is over every length limit, and a doubt for every pattern rule; a
// give-up is a doubt.
Verdict CheckUrlRules(const std::string& url, PatternSet::Scan& urlScan, const Inspection& in,
                      bool urlTooLong = false);

// Carries out the actions of a rule that fired: its own, or the default actions when it has none.
// Writes one audit line per "log", then acts on the first "deny" (last error 87, kRequestError)
// or "redirect" (the "url" header replaced, kHandledNotification); otherwise kNextNotification.
// With a doubt, the lines name it and at least one is written.
Verdict ApplyRuleActions(const std::string& name, const std::vector<RuleAction>& actions,
                         const Inspection& in, Doubt doubt = Doubt::kNone);

// The first Rewrite rule whose pattern occurs in the URL replaces the first match and sets the
// "url" header (kHandledNotification); kNextNotification when none applies. A rule whose pattern
// gives up does not apply, and an audit line ("Rewrite#2 (pattern gave up)") says so.
Verdict ApplyRewriteRules(const std::string& url, PatternSet::Scan& urlScan, const Inspection& in);

}  // namespace vell

#endif  // VELL_INSPECT_PIPELINE_H_
