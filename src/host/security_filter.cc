// The filter object: start-up, the preprocessed-headers and send-response handlers, and the bridge
// from the server's filter records to the request path.
#include "host/security_filter.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "auditlog/audit_log.h"
#include "config/filter_config.h"
#include "inspect/pipeline.h"

namespace vell {

namespace {

// The request path's view of one preprocessed-headers notification.
class IsapiRequest final : public ServerRequest {
 public:
  IsapiRequest(RequestContext& context, HTTP_FILTER_PREPROC_HEADERS* headers)
      : context_(context), headers_(headers) {}

  bool GetServerVariable(const char* name, char* buffer, uint32_t* size) override {
    HTTP_FILTER_CONTEXT* pfc = context_.serverContext;
    if (pfc == nullptr || pfc->GetServerVariable == nullptr) return false;
    DWORD room = *size;
    const bool ok = pfc->GetServerVariable(pfc, const_cast<char*>(name), buffer, &room);
    *size = room;
    return ok;
  }

  bool GetHeader(const char* name, char* buffer, uint32_t* size) override {
    if (headers_ == nullptr || headers_->GetHeader == nullptr) return false;
    DWORD room = *size;
    const bool ok = headers_->GetHeader(context_.serverContext, const_cast<char*>(name), buffer, &room);
    *size = room;
    return ok;
  }

  bool SetHeader(const char* name, const char* value) override {
    if (headers_ == nullptr || headers_->SetHeader == nullptr) return false;
    return headers_->SetHeader(context_.serverContext, const_cast<char*>(name),
                               const_cast<char*>(value));
  }

 private:
  RequestContext& context_;
  HTTP_FILTER_PREPROC_HEADERS* headers_;
};

}  // namespace

SecurityFilter::SecurityFilter() = default;

SecurityFilter::~SecurityFilter() = default;

bool SecurityFilter::StartFilter(HTTP_FILTER_VERSION* version) {
  FilterBase::StartFilter(version);
  version->dwFlags = (version->dwFlags & ~(SF_NOTIFY_ORDER_LOW | SF_NOTIFY_ORDER_MEDIUM)) |
                     kRegisteredNotifications;
  const std::string description = platform::FilterDescription();
  const std::size_t length = std::min<std::size_t>(description.size(), SF_MAX_FILTER_DESC_LEN - 1);
  std::memcpy(version->lpszFilterDesc, description.data(), length);
  version->lpszFilterDesc[length] = '\0';

  // Whatever the loader put in before a failure stays in force.
  FilterConfig config;
  ConfigSource source;
  started_ = true;
  configRead_ = false;
  startUpProblem_.clear();
  try {
    configPath_ = platform::ModuleDirectory() + "config.ini";
    config.LoadConfig(configPath_, &source);
    configRead_ = source.opened;
    if (!configRead_) startUpProblem_ = configPath_ + ": cannot be opened; the filter has no rules";
    if ((startOptions_ & VELL_START_NO_AUDIT_LOG) == 0) {
      const std::string logPath = config.auditLog;
      AuditLogRotate(logPath, 0);
      AuditLogWriteHeader(logPath);
    }
  } catch (...) {
    // A loading step failed (no ".log" in the log path, memory): the filter still loads.
  }
  try {
    rules_ = CompileRuleSet(std::move(config));
  } catch (...) {
    rules_.reset();
    startUpProblem_ =
        configPath_ + ": the rules could not be compiled (out of memory); the filter has no rules";
  }
  // What went wrong is said where the server's administrator looks: the load report for hosts
  // that ask for it, the event log on IIS.
  VELL_LOAD_REPORT report{};
  report.cbSize = sizeof report;
  if (GetLoadReport(&report) && report.errors > 0) {
    platform::ReportStartUpProblem("vell: " + std::string(report.firstError));
  }
  return true;
}

bool SecurityFilter::GetLoadReport(VELL_LOAD_REPORT* report) const {
  if (report == nullptr || report->cbSize < sizeof(VELL_LOAD_REPORT) || !started_) return false;
  const DWORD size = report->cbSize;
  std::memset(report, 0, sizeof(VELL_LOAD_REPORT));
  report->cbSize = size;
  report->configRead = configRead_ ? 1 : 0;
  report->rulesInForce = rules_ ? static_cast<DWORD>(CountRulesInForce(*rules_)) : 0;
  const auto copy = [](char* field, const std::string& text) {
    std::memcpy(field, text.data(), std::min<std::size_t>(text.size(), VELL_LOAD_TEXT_SIZE - 1));
  };
  copy(report->configPath, configPath_);
  if (!startUpProblem_.empty()) {
    report->errors = 1;
    copy(report->firstError, startUpProblem_);
  }
  return true;
}

uint32_t SecurityFilter::HandlePreprocHeaders(RequestContext& context,
                                              HTTP_FILTER_PREPROC_HEADERS* headers) {
  if (!rules_) return SF_STATUS_REQ_NEXT_NOTIFICATION;
  IsapiRequest request(context, headers);
  return RunRequestPipeline(Inspection{*rules_, LogLock, request});
}

uint32_t SecurityFilter::HandleSendResponse(RequestContext& context,
                                            HTTP_FILTER_SEND_RESPONSE* response) {
  if (!rules_ || rules_->config.serverType.empty()) return SF_STATUS_REQ_NEXT_NOTIFICATION;
  if (response != nullptr && response->SetHeader != nullptr) {
    response->SetHeader(context.serverContext, const_cast<char*>("Server:"),
                        const_cast<char*>(rules_->config.serverType.c_str()));
  }
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

}  // namespace vell
