// Runs the end-to-end case table through a fresh copy of the built module per case, exactly as
// the server calls it.
#include <gtest/gtest.h>

#include "cases/end_to_end.h"
#include "loaded_filter.h"

namespace vell::testing {
namespace {

TEST(EndToEnd, Cases) {
  for (const EndToEndCase& c : EndToEndCases()) {
    SCOPED_TRACE(c.name);
    LoadedFilter filter({.configLines = c.config, .auditLogInFolder = true});
    ASSERT_EQ(filter.Start(), 1);

    tools::SimulatedRequest request(VariablesOf(c.request), {{"url", c.request.url}});
    for (const std::string& name : c.request.growing) request.KeepAskingForRoom(name);
    const DWORD verdict =
        filter.module().HttpFilterProc(request.context(), SF_NOTIFY_PREPROC_HEADERS,
                                       request.headersRecord());
    const uint32_t lastError = filter.module().LastError();

    EXPECT_EQ(verdict, c.verdict);
    // The last-error code is the filter's word for a deny. On Windows it is the thread's Win32
    // code, which the system's own calls (opening the audit log) also set, so only a deny's value
    // is defined there.
    if (c.verdict == kError) {
      EXPECT_EQ(lastError, 87u);
    } else {
#ifndef _WIN32
      EXPECT_EQ(lastError, 0u);
#endif
    }
    std::vector<std::string> urlChanges;
    for (const auto& change : request.requestHeaderChanges()) {
      EXPECT_EQ(change.name, "url");
      urlChanges.push_back(change.value);
    }
    EXPECT_EQ(urlChanges, c.urlChanges);
    EXPECT_TRUE(request.responseHeaderChanges().empty());
    EXPECT_EQ(ReadLogEntries(filter.auditLogPath()), c.log);
    if (!c.reads.empty()) {
      EXPECT_EQ(request.reads(), c.reads);
    }
  }
}

}  // namespace
}  // namespace vell::testing
