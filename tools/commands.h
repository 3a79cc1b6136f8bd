// The subcommands of the vell command; each returns the process exit code.
#ifndef VELL_TOOLS_COMMANDS_H_
#define VELL_TOOLS_COMMANDS_H_

namespace vell::tools {

int RunCheck(int argc, char** argv);
int RunRequests(int argc, char** argv);

}  // namespace vell::tools

#endif  // VELL_TOOLS_COMMANDS_H_
