// The filter base class: turns the server's numbered notifications into one virtual handler per
// notification type, each with a neutral default. The one filter object of the process derives
// from it.
#ifndef VELL_HOST_FILTER_BASE_H_
#define VELL_HOST_FILTER_BASE_H_

#include <cstdint>

#include "vell/isapi.h"

namespace vell {

// Built for one notification call: the server's context of that call, through which handlers
// reach the server's per-request operations.
struct RequestContext {
  HTTP_FILTER_CONTEXT* serverContext;
};

class FilterBase;

// The one filter object of the process: set by FilterBase's constructor, cleared by its
// destructor. Written only while the module loads and unloads.
extern FilterBase* CurrentFilter;

class FilterBase {
 public:
  FilterBase();
  virtual ~FilterBase();
  FilterBase(const FilterBase&) = delete;
  FilterBase& operator=(const FilterBase&) = delete;

  // Calls the handler whose notification type equals notificationType (one bit; any other value,
  // combinations included, calls nothing and answers SF_STATUS_REQ_NEXT_NOTIFICATION) and returns
  // its answer.
  virtual uint32_t DispatchNotification(HTTP_FILTER_CONTEXT* serverContext,
                                        uint32_t notificationType, void* notification);
  // Registers nothing at the default order, with interface version 4.0 and an empty description.
  virtual bool StartFilter(HTTP_FILTER_VERSION* version);
  virtual uint32_t HandleReadRawData(RequestContext& context, HTTP_FILTER_RAW_DATA* rawData);
  virtual uint32_t HandlePreprocHeaders(RequestContext& context,
                                        HTTP_FILTER_PREPROC_HEADERS* headers);
  virtual uint32_t HandleAuthentication(RequestContext& context, HTTP_FILTER_AUTHENT* authent);
  virtual uint32_t HandleUrlMap(RequestContext& context, HTTP_FILTER_URL_MAP* urlMap);
  virtual uint32_t HandleSendRawData(RequestContext& context, HTTP_FILTER_RAW_DATA* rawData);
  virtual uint32_t HandleLog(RequestContext& context, HTTP_FILTER_LOG* log);
  virtual uint32_t HandleEndOfNetSession(RequestContext& context);
  virtual uint32_t HandleEndOfRequest(RequestContext& context);
  virtual uint32_t HandleAuthComplete(RequestContext& context,
                                      HTTP_FILTER_AUTH_COMPLETE_INFO* authComplete);
  virtual uint32_t HandleSendResponse(RequestContext& context, HTTP_FILTER_SEND_RESPONSE* response);
  virtual uint32_t HandleAccessDenied(RequestContext& context, HTTP_FILTER_ACCESS_DENIED* denied);
};

// The interface version the filter reports (4.0). Spelled out: some toolchains' headers define
// HTTP_FILTER_REVISION as a later version.
inline constexpr uint32_t kFilterRevision = 0x40000;

}  // namespace vell

#endif  // VELL_HOST_FILTER_BASE_H_
