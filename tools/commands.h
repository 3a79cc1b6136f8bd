// The subcommands of the vell command; each reads its words after the command's name and returns
// the process exit code (kExitOk, kExitProblems, kExitTrouble of tools/arguments.h).
#ifndef VELL_TOOLS_COMMANDS_H_
#define VELL_TOOLS_COMMANDS_H_

#include <ostream>
#include <string>

#include "tools/arguments.h"

namespace vell::tools {

extern const CommandSyntax kCheckCommand;
extern const CommandSyntax kRunCommand;
extern const CommandSyntax kReplayCommand;
extern const CommandSyntax kExplainCommand;

int RunCheck(int argc, char** argv);
int RunRequests(int argc, char** argv);
int RunReplay(int argc, char** argv);
int RunExplain(int argc, char** argv);

// Prints what the filter will do with the config file at path ("-": standard input) and the
// config report to out. A file that cannot be read is said on err. Returns kExitOk, kExitProblems
// when the report has an error, kExitTrouble when the file cannot be read.
int CheckConfigFile(const std::string& path, std::ostream& out, std::ostream& err);

}  // namespace vell::tools

#endif  // VELL_TOOLS_COMMANDS_H_
