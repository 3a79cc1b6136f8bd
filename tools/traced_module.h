// The filter module as vell explain and vell replay use it: a private copy loaded with a given
// configuration, serving each request through the module's trace export, so that the tools see
// the one request path step by step and decide nothing themselves.
#ifndef VELL_TOOLS_TRACED_MODULE_H_
#define VELL_TOOLS_TRACED_MODULE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/module_host.h"
#include "tools/private_module.h"

namespace vell::tools {

inline constexpr uint32_t kVerdictNext = 0x8000002;
inline constexpr uint32_t kVerdictHandled = 0x8000003;
inline constexpr uint32_t kVerdictDeny = 0x8000004;

// One step of the request path (VELL_TRACE_EVENT with its texts copied).
struct TracedEvent {
  uint32_t type = 0;  // VELL_EVENT_*
  uint32_t check = 0;
  uint32_t ruleList = 0;
  std::size_t ruleIndex = 0;
  std::size_t exclusion = 0;
  bool fired = false;
  bool gaveUp = false;
  uint32_t verdict = kVerdictNext;
  bool enforced = true;
  int logLines = 0;
  uint32_t metaCharBits = 0;
  std::optional<std::pair<std::size_t, std::size_t>> span;  // [begin, end) in subject
  std::string ruleName;
  std::string subject;
  std::string form;
  std::string text;
};

// What the request path did with one request.
struct TracedRequest {
  uint32_t answered = kVerdictNext;  // what the module answered the server
  uint32_t decided = kVerdictNext;   // what the rules decided (held back when !enforced)
  bool enforced = true;
  bool rewritten = false;
  std::string newUrl;  // the URL the server goes on with, when replaced
  std::vector<TracedEvent> events;
  // The kActions event that decided the request, or null.
  const TracedEvent* Deciding() const;
  // Audit lines the request wrote.
  int LogLines() const;
};

// What the server hands the filter for one request.
struct RequestValues {
  std::string serverName;  // "SERVER_NAME"
  std::string remoteAddr;  // "REMOTE_ADDR"
  std::string remoteHost;  // "REMOTE_HOST"
  std::string method;      // "REQUEST_METHOD"
  std::string allHttp;     // "ALL_HTTP"
  std::string url;         // the "url" header
};

class TracedModule {
 public:
  // Loads a private copy of the module at modulePath with configText as its config.ini and runs
  // its start-up. Throws std::runtime_error naming what failed (a module without the trace export
  // included).
  TracedModule(const std::string& modulePath, const std::string& configText);

  TracedRequest Serve(const RequestValues& values);
  // The same, for a request the caller built (to look at its reads and header changes after).
  TracedRequest Serve(SimulatedRequest& request);

  FilterModule& module() { return copy_.module(); }

 private:
  PrivateModule copy_;
};

}  // namespace vell::tools

#endif  // VELL_TOOLS_TRACED_MODULE_H_
