// The filter object: start-up, the preprocessed-headers and send-response handlers, and the bridge
// from the server's filter records to the request path.
#include "host/security_filter.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "config/filter_config.h"
#include "inspect/config_report.h"
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

// Copies text into a report field, cut to fit with its NUL.
void CopyText(const std::string& text, CHAR (&field)[VELL_LOAD_TEXT_SIZE]) {
  const std::size_t length = std::min<std::size_t>(text.size(), VELL_LOAD_TEXT_SIZE - 1);
  std::memcpy(field, text.data(), length);
  field[length] = '\0';
}

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
  load_ = LoadSummary{};
  try {
    configPath_ = platform::ModuleDirectory() + "config.ini";
    config.LoadConfig(configPath_, &source);
    // A load that must not touch the log gets a writer without a path, which writes nothing.
    AuditLogSettings log;
    if ((startOptions_ & VELL_START_NO_AUDIT_LOG) == 0) {
      log.path = config.auditLog;
      log.format = config.auditLogJson ? AuditLogFormat::kJson : AuditLogFormat::kW3C;
      log.rotateAtLoad = config.auditLogRotate.atLoad;
      log.rotateDaily = config.auditLogRotate.daily;
      log.maxSize = config.auditLogMaxSize;
      log.keep = config.auditLogKeep;
      log.detectionOnly = config.mode == FilterMode::DetectionOnly;
    }
    auditLog_.Start(log);
  } catch (...) {
    // A loading step failed (memory): the filter still loads.
  }
  try {
    rules_ = CompileRuleSet(std::move(config));
  } catch (...) {
    rules_.reset();
  }
  SummariseLoad(source);
  // What went wrong is said where the server's administrator looks: the load report for hosts
  // that ask for it, the event log on IIS.
  if (load_.errors > 0) platform::ReportStartUpProblem("vell: " + load_.firstError);
  return true;
}

// What hosts learn of the load: the counts and first error of the config report.
void SecurityFilter::SummariseLoad(const ConfigSource& source) {
  load_.configRead = source.opened && source.error.empty();
  try {
    if (rules_) {
      const ConfigReport report = ReportConfig(configPath_, source, *rules_);
      load_.rulesInForce = report.rulesInForce;
      load_.errors = report.errors;
      load_.warnings = report.warnings;
      load_.firstError = report.FirstError();
      return;
    }
  } catch (...) {
  }
  // The rules were not compiled, or the report ran out of memory.
  load_.errors = 1;
  load_.firstError =
      configPath_ + ": the rules could not be compiled (out of memory); the filter has no rules";
}

bool SecurityFilter::GetLoadReport(VELL_LOAD_REPORT* report) const {
  if (report == nullptr || report->cbSize < sizeof(VELL_LOAD_REPORT) || !started_) return false;
  const DWORD size = report->cbSize;
  std::memset(report, 0, sizeof(VELL_LOAD_REPORT));
  report->cbSize = size;
  report->configRead = load_.configRead ? 1 : 0;
  report->rulesInForce = static_cast<DWORD>(load_.rulesInForce);
  report->errors = static_cast<DWORD>(load_.errors);
  report->warnings = static_cast<DWORD>(load_.warnings);
  CopyText(configPath_, report->configPath);
  CopyText(load_.firstError, report->firstError);
  return true;
}

uint32_t SecurityFilter::HandlePreprocHeaders(RequestContext& context,
                                              HTTP_FILTER_PREPROC_HEADERS* headers) {
  return TraceRequest(context, headers, nullptr);
}

uint32_t SecurityFilter::TraceRequest(RequestContext& context, HTTP_FILTER_PREPROC_HEADERS* headers,
                                      PipelineObserver* observer) {
  if (!rules_) return SF_STATUS_REQ_NEXT_NOTIFICATION;
  IsapiRequest request(context, headers);
  Inspection inspection(*rules_, auditLog_, request, observer);
  return RunRequestPipeline(inspection);
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

uint32_t SecurityFilter::QuietNotifications() const {
  if (!started_) return 0;
  // Neither the log nor the end of a net session has a handler of its own.
  uint32_t quiet = SF_NOTIFY_LOG | SF_NOTIFY_END_OF_NET_SESSION;
  if (!rules_) return quiet | SF_NOTIFY_PREPROC_HEADERS | SF_NOTIFY_SEND_RESPONSE;
  if (rules_->config.serverType.empty()) quiet |= SF_NOTIFY_SEND_RESPONSE;
  return quiet;
}

}  // namespace vell
