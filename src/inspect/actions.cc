// The actions of a rule that fired: all audit lines first, then the first deny or redirect, which
// detection-only mode reports instead of carrying out.
#include "auditlog/audit_log.h"
#include "inspect/pipeline.h"

namespace vell {

namespace {

// Writes one entry for the hit. W3C lines carry time, name, client and URL (and the outcome in
// detection-only mode); JSON lines also the host, method, kind and what matched, read only then.
void AppendAuditEntry(const RuleHit& hit, std::string_view action, bool enforced, Inspection& in) {
  const bool json = in.auditLog.format() == AuditLogFormat::kJson;
  const std::string clientAddress = ReadServerVariable(in.server, "REMOTE_ADDR");
  const std::string url = ReadHeader(in.server, "url");
  const std::string host = json ? ReadServerVariable(in.server, "SERVER_NAME") : "";
  const std::string method = json ? ReadServerVariable(in.server, "REQUEST_METHOD") : "";
  std::string_view matched = hit.matched;
  if (json && matched.empty() && hit.pattern != nullptr) {
    if (const auto span = hit.pattern->FindFirst(hit.subject)) {
      matched = hit.subject.substr(span->begin, span->end - span->begin);
    }
  }
  // A Rewrite rule has no name of its own: it is named by its place ("Rewrite#2"). A doubt is said
  // after the name.
  std::string name = hit.rule.list == RuleList::kRewrite ? RuleName(in.rules, hit.rule)
                                                         : RuleAuditName(in.rules, hit.rule);
  if (hit.doubt == Doubt::kPatternGaveUp) name += " (pattern gave up)";
  if (hit.doubt == Doubt::kValueTooLong) name += " (value too long to read)";
  AuditEntry entry;
  entry.ruleName = name;
  entry.ruleKind = RuleListName(hit.rule.list);
  entry.clientAddress = clientAddress;
  entry.host = host;
  entry.method = method;
  entry.url = url;
  entry.matched = matched;
  entry.form = hit.form;
  entry.action = action;
  entry.enforced = enforced;
  in.auditLog.AppendEntry(entry);
}

}  // namespace

Verdict ApplyRuleActions(const RuleHit& hit, const std::vector<RuleAction>& actions, Inspection& in) {
  // A rule with any action of its own ignores the defaults entirely.
  const std::vector<RuleAction>& chosen = actions.empty() ? in.rules.config.defaultActions : actions;
  const bool detectionOnly = in.rules.config.mode == FilterMode::DetectionOnly;

  const RuleAction* deciding = nullptr;
  int logActions = 0;
  for (const RuleAction& action : chosen) {
    if (action.kind == ActionKind::Log) ++logActions;
    if (deciding == nullptr && action.kind != ActionKind::Log) deciding = &action;
  }
  // What the rule does besides logging, as its entries name it.
  const char* outcome =
      deciding == nullptr ? "log" : deciding->kind == ActionKind::Deny ? "deny" : "redirect";

  int logLines = 0;
  if (detectionOnly && deciding != nullptr) {
    // One line for every verdict held back ("would-deny"), whether or not the rule logs.
    AppendAuditEntry(hit, outcome, false, in);
    logLines = 1;
  } else {
    for (int i = 0; i < logActions; ++i) AppendAuditEntry(hit, outcome, true, in);
    logLines = logActions;
    // A doubt is never left unwritten.
    if (logLines == 0 && hit.doubt != Doubt::kNone) {
      AppendAuditEntry(hit, outcome, true, in);
      logLines = 1;
    }
  }

  Verdict verdict = kNextNotification;
  if (deciding != nullptr) {
    in.decided = true;
    in.decidingRule = hit.rule;
    in.wouldVerdict = deciding->kind == ActionKind::Deny ? kRequestError : kHandledNotification;
    if (detectionOnly) {
      in.heldBack = true;
    } else if (deciding->kind == ActionKind::Deny) {
      platform::SetThreadLastError(kErrorInvalidParameter);
      verdict = kRequestError;
    } else {
      // The URL is replaced inside the server; the client gets no redirection response.
      in.server.SetHeader("url", deciding->argument.c_str());
      in.newUrl = deciding->argument;
      verdict = kHandledNotification;
    }
  }

  if (in.observer != nullptr) {
    TraceEvent event;
    event.type = TraceEvent::Type::kActions;
    event.rule = hit.rule;
    event.ruleName = RuleAuditName(in.rules, hit.rule);
    event.verdict = in.heldBack ? in.wouldVerdict : verdict;
    event.enforced = !in.heldBack;
    event.logLines = logLines;
    if (deciding != nullptr && deciding->kind == ActionKind::Redirect) event.text = deciding->argument;
    in.Report(event);
  }
  return verdict;
}

}  // namespace vell
