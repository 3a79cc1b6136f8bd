// The actions of a rule that fired: all audit lines first, then the first deny or redirect, which
// detection-only mode reports instead of carrying out.
#include "auditlog/audit_log.h"
#include "inspect/pipeline.h"

namespace vell {

namespace {

void AppendAuditLine(const std::string& name, std::string_view outcome, Inspection& in) {
  std::string line = AuditLogTimestamp();
  line += ", ";
  line += name;
  line += ", ";
  line += ReadServerVariable(in.server, "REMOTE_ADDR");
  line += ", ";
  line += ReadHeader(in.server, "url");
  if (!outcome.empty()) {
    line += ", ";
    line += outcome;
  }
  AuditLogAppendLine(in.logLock, in.rules.config.auditLog.c_str(), line.c_str());
}

}  // namespace

Verdict ApplyRuleActions(RuleRef rule, const std::vector<RuleAction>& actions, Inspection& in) {
  // A rule with any action of its own ignores the defaults entirely.
  const std::vector<RuleAction>& chosen = actions.empty() ? in.rules.config.defaultActions : actions;
  const std::string& name = RuleAuditName(in.rules, rule);
  const bool detectionOnly = in.rules.config.mode == FilterMode::DetectionOnly;

  const RuleAction* deciding = nullptr;
  int logActions = 0;
  for (const RuleAction& action : chosen) {
    if (action.kind == ActionKind::Log) ++logActions;
    if (deciding == nullptr && action.kind != ActionKind::Log) deciding = &action;
  }

  int logLines = 0;
  if (detectionOnly && deciding != nullptr) {
    // One line for every verdict held back, whether or not the rule logs.
    AppendAuditLine(name, deciding->kind == ActionKind::Deny ? "would-deny" : "would-redirect", in);
    logLines = 1;
  } else {
    for (int i = 0; i < logActions; ++i) AppendAuditLine(name, detectionOnly ? "log" : "", in);
    logLines = logActions;
  }

  Verdict verdict = kNextNotification;
  if (deciding != nullptr) {
    in.decided = true;
    in.decidingRule = rule;
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
    event.rule = rule;
    event.ruleName = name;
    event.verdict = in.heldBack ? in.wouldVerdict : verdict;
    event.enforced = !in.heldBack;
    event.logLines = logLines;
    if (deciding != nullptr && deciding->kind == ActionKind::Redirect) event.text = deciding->argument;
    in.Report(event);
  }
  return verdict;
}

}  // namespace vell
