// The actions of a rule that fired: all audit lines first, then the first deny or redirect.
#include "auditlog/audit_log.h"
#include "inspect/pipeline.h"

namespace vell {

namespace {

void WriteAuditLine(const std::string& name, Doubt doubt, const Inspection& in) {
  std::string line = AuditLogTimestamp();
  line += ", ";
  line += name;
  if (doubt == Doubt::kPatternGaveUp) line += " (pattern gave up)";
  if (doubt == Doubt::kValueTooLong) line += " (value too long to read)";
  line += ", ";
  line += ReadServerVariable(in.server, "REMOTE_ADDR");
  line += ", ";
  line += ReadHeader(in.server, "url");
  AuditLogAppendLine(in.logLock, in.rules.config.auditLog.c_str(), line.c_str());
}

}  // namespace

Verdict ApplyRuleActions(const std::string& name, const std::vector<RuleAction>& actions,
                         const Inspection& in, Doubt doubt) {
  // A rule with any action of its own ignores the defaults entirely.
  const std::vector<RuleAction>& chosen = actions.empty() ? in.rules.config.defaultActions : actions;

  bool logged = false;
  for (const RuleAction& action : chosen) {
    if (action.kind != ActionKind::Log) continue;
    WriteAuditLine(name, doubt, in);
    logged = true;
  }
  // A doubt is never left unwritten.
  if (!logged && doubt != Doubt::kNone) WriteAuditLine(name, doubt, in);

  for (const RuleAction& action : chosen) {
    if (action.kind == ActionKind::Deny) {
      platform::SetThreadLastError(kErrorInvalidParameter);
      return kRequestError;
    }
    if (action.kind == ActionKind::Redirect) {
      // The URL is replaced inside the server; the client gets no redirection response.
      in.server.SetHeader("url", action.argument.c_str());
      return kHandledNotification;
    }
  }
  return kNextNotification;
}

}  // namespace vell
