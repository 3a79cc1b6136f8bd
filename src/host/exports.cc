// The module's exports: the one filter object of the process and the two entry points the server
// calls, plus the thread's last-error code on Linux. Nothing thrown below ever leaves an export.
#include <cstddef>
#include <string>

#include "host/security_filter.h"
#include "platform/platform.h"
#include "vell/vell.h"

namespace {

// Constructed when the module loads, before the server can call an export.
vell::SecurityFilter filter;

DWORD Dword(std::size_t value) {
  return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(value);
}

// Hands each step of the request path to a host's callback as the exports' C record.
class CallbackObserver final : public vell::PipelineObserver {
 public:
  CallbackObserver(VELL_TRACE_CALLBACK callback, void* user) : callback_(callback), user_(user) {}

  void OnEvent(const vell::TraceEvent& event) override {
    VELL_TRACE_EVENT out{};
    out.cbSize = sizeof out;
    out.type = static_cast<DWORD>(event.type);
    out.check = static_cast<DWORD>(event.check);
    out.ruleList = static_cast<DWORD>(event.rule.list);
    out.ruleIndex = Dword(event.rule.index);
    out.exclusion = Dword(event.exclusion);
    out.fired = event.fired ? 1 : 0;
    out.gaveUp = event.gaveUp ? 1 : 0;
    out.verdict = event.verdict;
    out.enforced = event.enforced ? 1 : 0;
    out.logLines = Dword(static_cast<std::size_t>(event.logLines));
    out.metaCharBits = event.metaCharBits;
    const bool spanKnown = event.spanBegin != vell::TraceEvent::kNoSpan;
    out.spanBegin = spanKnown ? Dword(event.spanBegin) : VELL_NO_SPAN;
    out.spanEnd = spanKnown ? Dword(event.spanEnd) : VELL_NO_SPAN;
    // Names are NUL-terminated for the host; the subject and text go with their lengths.
    const std::string name(event.ruleName);
    const std::string form(event.form);
    out.ruleName = name.c_str();
    out.form = form.c_str();
    out.subject = event.subject.data();
    out.subjectLength = Dword(event.subject.size());
    out.text = event.text.data();
    out.textLength = Dword(event.text.size());
    callback_(user_, &out);
  }

 private:
  VELL_TRACE_CALLBACK callback_;
  void* user_;
};

}  // namespace

extern "C" {

VELL_EXPORT BOOL WINAPI GetFilterVersion(HTTP_FILTER_VERSION* pVer) {
  try {
    if (vell::CurrentFilter == nullptr || pVer == nullptr) return 0;
    return vell::CurrentFilter->StartFilter(pVer) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

VELL_EXPORT DWORD WINAPI HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType,
                                        LPVOID pvNotification) {
  try {
    if (vell::CurrentFilter == nullptr) return SF_STATUS_REQ_NEXT_NOTIFICATION;
    return vell::CurrentFilter->DispatchNotification(pfc, notificationType, pvNotification);
  } catch (...) {
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
}

VELL_EXPORT void WINAPI VellSetStartOptions(DWORD options) {
  if (vell::CurrentFilter != nullptr) filter.SetStartOptions(options);
}

VELL_EXPORT BOOL WINAPI VellGetLoadReport(VELL_LOAD_REPORT* report) {
  try {
    if (vell::CurrentFilter == nullptr) return 0;
    return filter.GetLoadReport(report) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

VELL_EXPORT BOOL WINAPI VellReopenAuditLog(void) {
  try {
    if (vell::CurrentFilter == nullptr) return 0;
    return filter.ReopenAuditLog() ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

VELL_EXPORT const char* WINAPI VellGetDecidingRule(void) {
  return vell::platform::ThreadDecidingRule();
}

VELL_EXPORT DWORD WINAPI VellTraceRequest(HTTP_FILTER_CONTEXT* context,
                                          HTTP_FILTER_PREPROC_HEADERS* headers,
                                          VELL_TRACE_CALLBACK callback, void* user) {
  try {
    if (vell::CurrentFilter == nullptr) return SF_STATUS_REQ_NEXT_NOTIFICATION;
    vell::RequestContext requestContext{context};
    if (callback == nullptr) return filter.TraceRequest(requestContext, headers, nullptr);
    CallbackObserver observer(callback, user);
    return filter.TraceRequest(requestContext, headers, &observer);
  } catch (...) {
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
}

VELL_EXPORT const char* WINAPI VellGetVersion(void) { return VELL_VERSION; }

VELL_EXPORT DWORD WINAPI VellGetQuietNotifications(void) {
  if (vell::CurrentFilter == nullptr) return 0;
  return filter.QuietNotifications();
}

#ifndef _WIN32
VELL_EXPORT uint32_t GetLastError(void) { return vell::platform::ThreadLastError(); }
#endif

}  // extern "C"
