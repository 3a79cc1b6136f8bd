// The module's exports: the one filter object of the process and the two entry points the server
// calls, plus the thread's last-error code on Linux. Nothing thrown below ever leaves an export.
#include "host/security_filter.h"
#include "platform/platform.h"
#include "vell/vell.h"

namespace {

// Constructed when the module loads, before the server can call an export.
vell::SecurityFilter filter;

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

VELL_EXPORT const char* WINAPI VellGetDecidingRule(void) { return ""; }

VELL_EXPORT const char* WINAPI VellGetVersion(void) { return VELL_VERSION; }

#ifndef _WIN32
VELL_EXPORT uint32_t GetLastError(void) { return vell::platform::ThreadLastError(); }
#endif

}  // extern "C"
