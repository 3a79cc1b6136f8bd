// The filter base class: notification dispatch and the neutral handlers.
#include "host/filter_base.h"

namespace vell {

FilterBase* CurrentFilter = nullptr;

FilterBase::FilterBase() { CurrentFilter = this; }

FilterBase::~FilterBase() { CurrentFilter = nullptr; }

uint32_t FilterBase::DispatchNotification(HTTP_FILTER_CONTEXT* serverContext,
                                          uint32_t notificationType, void* notification) {
  RequestContext context{serverContext};
  switch (notificationType) {
    case SF_NOTIFY_READ_RAW_DATA:
      return HandleReadRawData(context, static_cast<HTTP_FILTER_RAW_DATA*>(notification));
    case SF_NOTIFY_PREPROC_HEADERS:
      return HandlePreprocHeaders(context, static_cast<HTTP_FILTER_PREPROC_HEADERS*>(notification));
    case SF_NOTIFY_AUTHENTICATION:
      return HandleAuthentication(context, static_cast<HTTP_FILTER_AUTHENT*>(notification));
    case SF_NOTIFY_URL_MAP:
      return HandleUrlMap(context, static_cast<HTTP_FILTER_URL_MAP*>(notification));
    case SF_NOTIFY_SEND_RAW_DATA:
      return HandleSendRawData(context, static_cast<HTTP_FILTER_RAW_DATA*>(notification));
    case SF_NOTIFY_LOG:
      return HandleLog(context, static_cast<HTTP_FILTER_LOG*>(notification));
    case SF_NOTIFY_END_OF_NET_SESSION:
      return HandleEndOfNetSession(context);
    case SF_NOTIFY_END_OF_REQUEST:
      return HandleEndOfRequest(context);
    case SF_NOTIFY_AUTH_COMPLETE:
      return HandleAuthComplete(context, static_cast<HTTP_FILTER_AUTH_COMPLETE_INFO*>(notification));
    case SF_NOTIFY_SEND_RESPONSE:
      return HandleSendResponse(context, static_cast<HTTP_FILTER_SEND_RESPONSE*>(notification));
    case SF_NOTIFY_ACCESS_DENIED:
      return HandleAccessDenied(context, static_cast<HTTP_FILTER_ACCESS_DENIED*>(notification));
    default:
      return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
}

bool FilterBase::StartFilter(HTTP_FILTER_VERSION* version) {
  version->dwFilterVersion = kFilterRevision;
  version->lpszFilterDesc[0] = '\0';
  version->dwFlags = SF_NOTIFY_ORDER_DEFAULT;
  return true;
}

uint32_t FilterBase::HandleReadRawData(RequestContext&, HTTP_FILTER_RAW_DATA*) {
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}
uint32_t FilterBase::HandlePreprocHeaders(RequestContext&, HTTP_FILTER_PREPROC_HEADERS*) {
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}
uint32_t FilterBase::HandleAuthentication(RequestContext&, HTTP_FILTER_AUTHENT*) {
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}
uint32_t FilterBase::HandleUrlMap(RequestContext&, HTTP_FILTER_URL_MAP*) {
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}
uint32_t FilterBase::HandleSendRawData(RequestContext&, HTTP_FILTER_RAW_DATA*) {
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}
uint32_t FilterBase::HandleLog(RequestContext&, HTTP_FILTER_LOG*) {
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}
uint32_t FilterBase::HandleEndOfNetSession(RequestContext&) {
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}
uint32_t FilterBase::HandleEndOfRequest(RequestContext&) { return SF_STATUS_REQ_NEXT_NOTIFICATION; }
uint32_t FilterBase::HandleAuthComplete(RequestContext&, HTTP_FILTER_AUTH_COMPLETE_INFO*) {
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}
uint32_t FilterBase::HandleSendResponse(RequestContext&, HTTP_FILTER_SEND_RESPONSE*) {
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}
uint32_t FilterBase::HandleAccessDenied(RequestContext&, HTTP_FILTER_ACCESS_DENIED*) {
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

}  // namespace vell
