// The request path: the pipeline that the preprocessed-headers notification runs, the three rule
// checks, the actions of a rule that fired and the URL rewrite. Every function works on one
// request through a ServerRequest, reads the rule snapshot without a lock and may run on any
// number of threads at once; none throws for any bytes of any length (only memory exhaustion).
#ifndef VELL_INSPECT_PIPELINE_H_
#define VELL_INSPECT_PIPELINE_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "auditlog/audit_log.h"
#include "config/rule_records.h"
#include "detect/deep_request.h"
#include "inspect/exclusions.h"
#include "inspect/observer.h"
#include "inspect/rule_set.h"
#include "inspect/server_request.h"
#include "platform/platform.h"

namespace vell {

// Why a rule acts although no pattern was seen to match: its pattern engine gave up on the value,
// or the value could not be read for its size. The audit lines of such a rule say so after its
// name ("Name (pattern gave up)"), and at least one line is written even for a rule without "log".
// A rule whose actions deny or redirect acts as if it had matched, so that the request is never
// let through unseen; a rule that would only log writes its line, and the check goes on with the
// next rule.
enum class Doubt : uint8_t { kNone, kPatternGaveUp, kValueTooLong };

// One call of the request path: the compiled rules, the audit log's writer, the request, an
// optional observer, and what the path has learnt of the request so far. Made per request, on its
// thread.
class Inspection final : public ExclusionSubject {
 public:
  Inspection(const RuleSet& rules, AuditLog& auditLog, ServerRequest& server,
             PipelineObserver* observer = nullptr);

  const RuleSet& rules;
  AuditLog& auditLog;
  ServerRequest& server;
  // Null in the server path: then nothing is reported and nothing extra is computed.
  PipelineObserver* const observer;

  // The request's values, each read from the server once, when first asked for. A value that could
  // not be read for its size reads as "" and is marked too long (RequestInfo::tooLong for the
  // client values).
  const std::string& ServerName() override;
  const RequestInfo& Info();
  const std::string& Url() override;
  bool ServerNameTooLong() { return ServerName(), serverNameTooLong_; }
  bool UrlTooLong() { return Url(), urlTooLong_; }
  const std::string& ClientAddress() override { return Info().values[RequestInfo::kClientAddress]; }
  const std::string& Method() override { return Info().values[RequestInfo::kRequestMethod]; }

  // The first Exclude line that names rule and holds for this request, or -1. Each line's
  // conditions are tested at most once per request.
  int ExcludedBy(RuleRef rule);

  // Set by ApplyRuleActions when a rule's actions decide the request (deny or redirect), also when
  // detection-only mode holds the verdict back.
  bool decided = false;
  bool heldBack = false;
  Verdict wouldVerdict = kNextNotification;
  RuleRef decidingRule;
  // The URL the server goes on with, when a redirect or rewrite replaced it.
  std::optional<std::string> newUrl;

  void Report(const TraceEvent& event) const {
    if (observer != nullptr) observer->OnEvent(event);
  }

 private:
  bool ExclusionHolds(uint32_t exclusion);

  std::optional<std::string> serverName_;
  std::optional<RequestInfo> info_;
  std::optional<std::string> url_;
  bool serverNameTooLong_ = false;
  bool urlTooLong_ = false;
  // Per Exclude line: 0 not tested yet, 1 holds, 2 does not.
  std::vector<uint8_t> exclusionAnswers_;
};

// Reads the request's values in a fixed order, each only when the check that needs it is reached,
// and runs CheckRequestByIP, CheckClientRules, CheckUrlRules and ApplyRewriteRules in that order.
// The first verdict other than kNextNotification is returned at once; a verdict that
// detection-only mode held back also ends the path, with kNextNotification. When a rule decided
// (a deny or redirect, also one held back), it becomes the calling thread's deciding rule
// (platform::SetThreadDecidingRule); other requests leave that as it was.
Verdict RunRequestPipeline(Inspection& in);

// The first BFilter rule named "RequestByIP", when enabled, fires on a server name made only of
// digits, "-" and "." once trimmed (the empty name included): ServerNameIsAddress.
Verdict CheckRequestByIP(Inspection& in);
bool ServerNameIsAddress(const std::string& serverName);

// Whether a "MaxURLLength" rule fires: both lengths as unsigned 32-bit numbers, so that a negative
// limit never fires and a length beyond 32 bits is over every limit.
bool UrlOverLimit(const BuiltinRule& rule, std::string_view url);

// The SFilter rules, each on the RequestInfo value its variable names; unknown variables never
// fire.
Verdict CheckClientRules(Inspection& in);

// The BFilter rules (signatures, "MetaChar", "MaxURLLength"), then the CFilter rules, on the URL.
// urlScan is the scan of the URL by the rules' URL patterns, which the rewrite uses as well.
Verdict CheckUrlRules(PatternSet::Scan& urlScan, Inspection& in);

// A rule that fired, or is in doubt, and on what: the subject it was tested on, the pattern that
// matched there (null for rules without one), for deep rules the decoded form or argument, what
// matched when it is known without the pattern (a part of subject), and the doubt, if any.
struct RuleHit {
  RuleRef rule;
  std::string_view subject;
  const CompiledPattern* pattern = nullptr;
  std::string_view form;
  std::string_view matched;
  Doubt doubt = Doubt::kNone;
};

// Carries out the actions of a rule that fired: its own, or the default actions when it has none.
// Writes one audit line per "log", then acts on the first "deny" (last error 87, kRequestError)
// or "redirect" (the "url" header replaced, kHandledNotification); otherwise kNextNotification.
// In detection-only mode a deny or redirect is not carried out: one audit line says what would
// have happened ("would-deny", "would-redirect"), with or without "log", and the answer is
// kNextNotification with in.heldBack set. With a doubt the lines name it and at least one is
// written.
Verdict ApplyRuleActions(const RuleHit& hit, const std::vector<RuleAction>& actions, Inspection& in);

// The deep-inspection layer, after the URL rules and before the rewrite: with DeepInspection on,
// each BFilter signature on the URL's decoded forms (in BFilter order), then each DFilter rule on
// the decoded path and arguments (in DFilter order). The first rule that fires decides, as in the
// other checks.
Verdict CheckDeepRules(DeepRequest& deep, Inspection& in);

// The first Rewrite rule whose pattern occurs in the URL replaces the first match and sets the
// "url" header (kHandledNotification); kNextNotification when none applies. A rule whose pattern
// gives up does not apply, and an audit line ("Rewrite#2 (pattern gave up)") says so. A URL too
// long to read is not rewritten.
Verdict ApplyRewriteRules(PatternSet::Scan& urlScan, Inspection& in);

}  // namespace vell

#endif  // VELL_INSPECT_PIPELINE_H_
