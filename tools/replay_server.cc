// Serves replayed requests to the filter module through its exports.
#include "tools/replay_server.h"

namespace vell::tools {

std::unique_ptr<ReplayServer> StartReplayServer(const ReplayOptions&, std::string* error) {
  *error = "this build has no filter module to serve requests through; use --rules-only";
  return nullptr;
}

}  // namespace vell::tools
