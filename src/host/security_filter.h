// The filter object of the module: start-up, the request pipeline and the Server header masking.
#ifndef VELL_HOST_SECURITY_FILTER_H_
#define VELL_HOST_SECURITY_FILTER_H_

#include <memory>
#include <string>

#include "auditlog/audit_log.h"
#include "host/filter_base.h"
#include "inspect/observer.h"
#include "config/filter_config.h"
#include "inspect/rule_set.h"
#include "platform/platform.h"
#include "vell/vell.h"

namespace vell {

class SecurityFilter : public FilterBase {
 public:
  SecurityFilter();
  ~SecurityFilter() override;

  // Registers the notifications (0x84343) and the description, then loads config.ini from the
  // module's folder and prepares the audit log. A failure of the loading steps never fails the
  // load: the filter always loads, and a problem (no config.ini, rules that could not be compiled,
  // errors in the load report) is counted in the load report and written to the event log on
  // Windows. Called once, before any notification, on the loading thread.
  bool StartFilter(HTTP_FILTER_VERSION* version) override;
  // The request pipeline. Any thread.
  uint32_t HandlePreprocHeaders(RequestContext& context,
                                HTTP_FILTER_PREPROC_HEADERS* headers) override;
  // Replaces the "Server:" response header when "ServerType" is configured. Any thread.
  uint32_t HandleSendResponse(RequestContext& context, HTTP_FILTER_SEND_RESPONSE* response) override;

  // The registered notifications that do nothing under the loaded configuration: the log and end
  // of net session always, send response without "ServerType", every one without rules. 0 before
  // StartFilter. Any thread after it.
  uint32_t QuietNotifications() const;

  // The options of the next StartFilter (VELL_START_*). Loading thread, before StartFilter.
  void SetStartOptions(uint32_t options) { startOptions_ = options; }
  // What the last StartFilter loaded; false before it ran. Any thread after it.
  bool GetLoadReport(VELL_LOAD_REPORT* report) const;
  // The request path of HandlePreprocHeaders, telling observer every step. Any thread.
  uint32_t TraceRequest(RequestContext& context, HTTP_FILTER_PREPROC_HEADERS* headers,
                        PipelineObserver* observer);
  // Reopens the audit log at its path (after another program moved it away). True when it is open
  // afterwards or there is none. Any thread.
  bool ReopenAuditLog() { return auditLog_.Reopen(); }

 private:
  // The audit log's writer, started by StartFilter.
  AuditLog auditLog_;
  // The configuration with its patterns compiled; set by StartFilter, then only read. Null before.
  std::shared_ptr<const RuleSet> rules_;
  uint32_t startOptions_ = 0;
  bool started_ = false;
  std::string configPath_;
  // What StartFilter loaded, from the config report, which is not kept.
  struct LoadSummary {
    bool configRead = false;
    std::size_t rulesInForce = 0;
    int errors = 0;
    int warnings = 0;
    std::string firstError;
  };
  LoadSummary load_;

  void SummariseLoad(const ConfigSource& source);
};

// The notifications the filter registers: preprocessed headers, send response, log and end of net
// session, on plain and secure connections, at high priority.
inline constexpr uint32_t kRegisteredNotifications =
    SF_NOTIFY_ORDER_HIGH | SF_NOTIFY_PREPROC_HEADERS | SF_NOTIFY_LOG | SF_NOTIFY_END_OF_NET_SESSION |
    SF_NOTIFY_SEND_RESPONSE | SF_NOTIFY_NONSECURE_PORT | SF_NOTIFY_SECURE_PORT;
static_assert(kRegisteredNotifications == 0x84343);

}  // namespace vell

#endif  // VELL_HOST_SECURITY_FILTER_H_
