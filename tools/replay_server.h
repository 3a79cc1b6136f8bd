// The server side of vell replay: serves each replayed request to the filter module through its
// exports, with the server variables and headers the log supplied, and reads back the verdict.
#ifndef VELL_TOOLS_REPLAY_SERVER_H_
#define VELL_TOOLS_REPLAY_SERVER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "tools/replay.h"
#include "tools/rule_walk.h"

namespace vell::tools {

struct ServedRequest {
  uint32_t verdict = kVerdictNext;
  std::string newUrl;  // the "url" header after the call, when the module replaced it
};

class ReplayServer {
 public:
  virtual ~ReplayServer() = default;
  // Runs one request through the module's preprocessed-headers notification. values holds the
  // server variables and the "url" header; allHttp the "ALL_HTTP" text.
  virtual ServedRequest Serve(const WalkRequest& values, const std::string& allHttp) = 0;
};

// The text of the config file at path with every AuditLog line removed and, when auditLog is not
// empty, one AuditLog line naming its absolute path appended. Every other byte is kept.
std::string ConfigWithAuditLog(const std::string& path, const std::string& auditLog);

// Loads a private copy of the module with a private copy of the configuration, whose AuditLog is
// options.auditLog or, when that is empty, removed so that nothing is logged. Null, with the
// reason in *error, when the module cannot be found or loaded.
std::unique_ptr<ReplayServer> StartReplayServer(const ReplayOptions& options, std::string* error);

}  // namespace vell::tools

#endif  // VELL_TOOLS_REPLAY_SERVER_H_
