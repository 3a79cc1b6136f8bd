// vell replay: runs the requests of access logs through the filter and reports what the
// configuration would have done with them, without blocking anything.
#ifndef VELL_TOOLS_REPLAY_H_
#define VELL_TOOLS_REPLAY_H_

#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "tools/access_log.h"
#include "tools/arguments.h"

namespace vell::tools {

enum class ReportFormat { Text, Json, Csv };

struct ReplayOptions {
  std::string config;
  std::vector<std::string> logs;
  ReportFormat format = ReportFormat::Text;
  // With ReportFormat::Csv, the one table written: "totals", "rules", "exclusions", "changes" or
  // "requests". Empty: "requests" when show is not empty, otherwise "rules".
  std::string csvTable;
  // Which requests to list one by one: any of "denied", "redirected", "rewritten", "logged",
  // "heldback", "excluded", "changed".
  std::set<std::string> show;
  // Empty: no audit log is written. Otherwise the module writes its audit log there.
  std::string auditLog;
  // Detect the format of each file when Unknown.
  LogFormat logFormat = LogFormat::Unknown;
  // The server name for requests whose log line does not record the Host.
  std::string serverName = "localhost";
  bool progress = true;
  bool progressOnTerminal = false;
  // The filter module to serve requests through; empty: the one next to the vell command.
  std::string module;
  // A second configuration: every request whose verdict or new URL differs between it and
  // config is reported, grouped by rule and change. Empty: none.
  std::string against;
};

// The options that the words after "replay" give. False, with the reason in *error, for a bad
// option value.
bool ReplayOptionsFrom(const ParsedArguments& arguments, ReplayOptions* options, std::string* error);

// Replays the logs through the module's request path and writes the report to out; progress and
// problems go to err. Returns 0 when every file was read to its end, 1 otherwise, 2 when a
// configuration or the module cannot be loaded.
int Replay(const ReplayOptions& options, std::ostream& out, std::ostream& err);

}  // namespace vell::tools

#endif  // VELL_TOOLS_REPLAY_H_
