// The actions of a rule that fired: all audit lines first, then the first deny or redirect.
#include "auditlog/audit_log.h"
#include "inspect/pipeline.h"

namespace vell {

Verdict ApplyRuleActions(const std::string& name, const std::vector<RuleAction>& actions,
                         const Inspection& in) {
  // A rule with any action of its own ignores the defaults entirely.
  const std::vector<RuleAction>& chosen = actions.empty() ? in.rules.config.defaultActions : actions;

  // What the rule does besides logging: the first deny or redirect, as the entries name it.
  const char* outcome = "log";
  for (const RuleAction& action : chosen) {
    if (action.kind == ActionKind::Log) continue;
    outcome = action.kind == ActionKind::Deny ? "deny" : "redirect";
    break;
  }
  const bool json = in.auditLog.format() == AuditLogFormat::kJson;
  for (const RuleAction& action : chosen) {
    if (action.kind != ActionKind::Log) continue;
    const std::string clientAddress = ReadServerVariable(in.server, "REMOTE_ADDR");
    const std::string url = ReadHeader(in.server, "url");
    // Only JSON lines carry the host and method; W3C lines read no more than they show.
    const std::string host = json ? ReadServerVariable(in.server, "SERVER_NAME") : "";
    const std::string method = json ? ReadServerVariable(in.server, "REQUEST_METHOD") : "";
    AuditEntry entry;
    entry.ruleName = name;
    entry.clientAddress = clientAddress;
    entry.host = host;
    entry.method = method;
    entry.url = url;
    entry.action = outcome;
    in.auditLog.AppendEntry(entry);
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
