// vell explain: how the filter decides one request, check by check and rule by rule, as the
// filter module's own request path reports it.
#ifndef VELL_TOOLS_EXPLAIN_H_
#define VELL_TOOLS_EXPLAIN_H_

#include <ostream>
#include <string>
#include <vector>

namespace vell::tools {

struct ExplainOptions {
  std::string config;
  // Each a URL path ("/a?b"), "METHOD /path", or an absolute URL whose host becomes the server
  // name unless --host is given.
  std::vector<std::string> urls;
  std::string method = "GET";
  std::string client = "127.0.0.1";
  std::string referer;
  std::string host = "localhost";
  bool hostGiven = false;
  // The filter module to ask; empty: the one next to the vell command.
  std::string module;
};

bool ParseExplainArguments(int argc, char** argv, ExplainOptions* options, std::string* error);

// Writes the explanation of each URL to out. Returns 0, or 2 when the config cannot be read or
// the module cannot be loaded.
int ExplainRequests(const ExplainOptions& options, std::ostream& out, std::ostream& err);

}  // namespace vell::tools

#endif  // VELL_TOOLS_EXPLAIN_H_
