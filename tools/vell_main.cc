// The vell command: operator tools around the filter module.
#include <iostream>
#include <string>

#include "tools/arguments.h"
#include "tools/commands.h"

namespace {

struct Command {
  const vell::tools::CommandSyntax* syntax;
  int (*run)(int argc, char** argv);
  const char* purpose;
};

const Command kCommands[] = {
    {&vell::tools::kCheckCommand, vell::tools::RunCheck,
     "show the rules the filter will run and what it ignores"},
    {&vell::tools::kRunCommand, vell::tools::RunRequests,
     "play the web server for a file of requests"},
    {&vell::tools::kReplayCommand, vell::tools::RunReplay,
     "what the filter would have done with logged requests"},
    {&vell::tools::kExplainCommand, vell::tools::RunExplain,
     "how the filter decides one request, rule by rule"},
};

const Command* FindCommand(const std::string& name) {
  for (const Command& command : kCommands) {
    if (name == command.syntax->name) return &command;
  }
  return nullptr;
}

void PrintUsage(std::ostream& out) {
  out << "usage: vell COMMAND [OPTIONS] ARGUMENTS...\n"
         "       vell help COMMAND | vell --help | vell --version\n"
         "commands:\n";
  for (const Command& command : kCommands) {
    std::string usage = vell::tools::UsageLine(*command.syntax).substr(7);
    out << "  " << usage << "\n      " << command.purpose << "\n";
  }
  out << "'vell help COMMAND' or 'vell COMMAND --help' describes a command; vell(1) all of them.\n";
}

}  // namespace

int main(int argc, char** argv) {
  using vell::tools::kExitOk;
  using vell::tools::kExitTrouble;
  if (argc < 2) {
    std::cerr << "vell: missing COMMAND\n";
    PrintUsage(std::cerr);
    return kExitTrouble;
  }
  const std::string word = argv[1];
  if (word == "-h" || word == "--help" || (word == "help" && argc == 2)) {
    PrintUsage(std::cout);
    return kExitOk;
  }
  if (word == "-V" || word == "--version" || word == "version") {
    std::cout << vell::tools::VersionText() << "\n";
    return kExitOk;
  }
  if (word == "help") {
    const Command* command = FindCommand(argv[2]);
    if (!command || argc > 3) {
      std::cerr << "vell help: " << (command ? "unexpected operand '" + std::string(argv[3]) + "'"
                                             : "unknown command '" + std::string(argv[2]) + "'")
                << "\n";
      PrintUsage(std::cerr);
      return kExitTrouble;
    }
    std::cout << vell::tools::HelpText(*command->syntax);
    return kExitOk;
  }
  if (const Command* command = FindCommand(word)) return command->run(argc - 2, argv + 2);
  std::cerr << "vell: " << (!word.empty() && word[0] == '-' ? "unknown option '" : "unknown command '") << word << "'\n";
  PrintUsage(std::cerr);
  return kExitTrouble;
}
