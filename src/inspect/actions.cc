// The actions of a rule that fired: all audit lines first, then the first deny or redirect.
#include "auditlog/audit_log.h"
#include "inspect/pipeline.h"

namespace vell {

Verdict ApplyRuleActions(const std::string& name, const std::vector<RuleAction>& actions,
                         const Inspection& in) {
  // A rule with any action of its own ignores the defaults entirely.
  const std::vector<RuleAction>& chosen = actions.empty() ? in.rules.config.defaultActions : actions;

  for (const RuleAction& action : chosen) {
    if (action.kind != ActionKind::Log) continue;
    std::string line = AuditLogTimestamp();
    line += ", ";
    line += name;
    line += ", ";
    line += ReadServerVariable(in.server, "REMOTE_ADDR");
    line += ", ";
    line += ReadHeader(in.server, "url");
    AuditLogAppendLine(in.logLock, in.rules.config.auditLog.c_str(), line.c_str());
  }

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
