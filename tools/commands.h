// The subcommands of the vell command; each returns the process exit code.
#ifndef VELL_TOOLS_COMMANDS_H_
#define VELL_TOOLS_COMMANDS_H_

#include <ostream>
#include <string>

namespace vell::tools {

int RunCheck(int argc, char** argv);
int RunRequests(int argc, char** argv);
int RunReplay(int argc, char** argv);
int RunExplain(int argc, char** argv);

// Prints what the filter will do with the config file at path and what its loader ignores or
// weakens. Returns 0, 1 when a rule can never fire, 2 when the file cannot be read.
int CheckConfigFile(const std::string& path, std::ostream& out);

}  // namespace vell::tools

#endif  // VELL_TOOLS_COMMANDS_H_
