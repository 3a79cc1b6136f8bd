#include "host/filter_base.h"

#include <gtest/gtest.h>

#include <string>

namespace vell {
namespace {

// Records which handler ran and with which record.
class RecordingFilter : public FilterBase {
 public:
  std::string called;
  void* record = nullptr;

  uint32_t Note(const char* name, void* r) {
    called = name;
    record = r;
    return 1;
  }
  uint32_t HandleReadRawData(RequestContext&, HTTP_FILTER_RAW_DATA* r) override { return Note("ReadRawData", r); }
  uint32_t HandlePreprocHeaders(RequestContext&, HTTP_FILTER_PREPROC_HEADERS* r) override { return Note("PreprocHeaders", r); }
  uint32_t HandleAuthentication(RequestContext&, HTTP_FILTER_AUTHENT* r) override { return Note("Authentication", r); }
  uint32_t HandleUrlMap(RequestContext&, HTTP_FILTER_URL_MAP* r) override { return Note("UrlMap", r); }
  uint32_t HandleSendRawData(RequestContext&, HTTP_FILTER_RAW_DATA* r) override { return Note("SendRawData", r); }
  uint32_t HandleLog(RequestContext&, HTTP_FILTER_LOG* r) override { return Note("Log", r); }
  uint32_t HandleEndOfNetSession(RequestContext&) override { return Note("EndOfNetSession", nullptr); }
  uint32_t HandleEndOfRequest(RequestContext&) override { return Note("EndOfRequest", nullptr); }
  uint32_t HandleAuthComplete(RequestContext&, HTTP_FILTER_AUTH_COMPLETE_INFO* r) override { return Note("AuthComplete", r); }
  uint32_t HandleSendResponse(RequestContext&, HTTP_FILTER_SEND_RESPONSE* r) override { return Note("SendResponse", r); }
  uint32_t HandleAccessDenied(RequestContext&, HTTP_FILTER_ACCESS_DENIED* r) override { return Note("AccessDenied", r); }
};

struct DispatchCase {
  uint32_t type;
  const char* handler;  // "" when no handler runs
};
const DispatchCase kDispatch[] = {
    {0x8000, "ReadRawData"},   {0x4000, "PreprocHeaders"},     {0x2000, "Authentication"},
    {0x1000, "UrlMap"},        {0x400, "SendRawData"},         {0x200, "Log"},
    {0x100, "EndOfNetSession"}, {0x80, "EndOfRequest"},        {0x4000000, "AuthComplete"},
    {0x40, "SendResponse"},    {0x800, "AccessDenied"},
    // Combinations and other values call nothing.
    {0x4040, ""}, {0x10000, ""}, {0, ""}, {0x1, ""}, {0xffffffff, ""},
};

TEST(FilterBase, DispatchCallsTheHandlerOfExactlyThatType) {
  RecordingFilter filter;
  int record = 0;
  for (const DispatchCase& c : kDispatch) {
    SCOPED_TRACE(c.type);
    filter.called.clear();
    filter.record = nullptr;
    const uint32_t answer = filter.DispatchNotification(nullptr, c.type, &record);
    EXPECT_EQ(filter.called, c.handler);
    if (*c.handler == '\0') {
      EXPECT_EQ(answer, 0x8000002u);
    } else {
      EXPECT_EQ(answer, 1u);
      const bool contextOnly = c.type == 0x80 || c.type == 0x100;
      EXPECT_EQ(filter.record, contextOnly ? nullptr : static_cast<void*>(&record));
    }
  }
}

TEST(FilterBase, NeutralDefaultsAndCurrentFilterLifetime) {
  EXPECT_EQ(CurrentFilter, nullptr);
  {
    FilterBase base;
    EXPECT_EQ(CurrentFilter, &base);
    for (const DispatchCase& c : kDispatch) {
      EXPECT_EQ(base.DispatchNotification(nullptr, c.type, nullptr), 0x8000002u);
    }
    HTTP_FILTER_VERSION version{};
    version.lpszFilterDesc[0] = 'x';
    EXPECT_TRUE(base.StartFilter(&version));
    EXPECT_EQ(version.dwFilterVersion, 0x40000u);
    EXPECT_EQ(version.dwFlags, 0x20000u);
    EXPECT_EQ(version.lpszFilterDesc[0], '\0');
  }
  EXPECT_EQ(CurrentFilter, nullptr);
}

}  // namespace
}  // namespace vell
