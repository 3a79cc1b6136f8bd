// The vell command: operator tools around the filter module.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/commands.h"

namespace {

void PrintUsage(FILE* out) {
  std::fputs(
      "usage: vell check CONFIG        show the rules the filter will run and what it ignores\n"
      "       vell run CONFIG REQUESTS [--client ADDR] [--module PATH]\n"
      "                                play the web server for the requests in REQUESTS\n"
      "       vell replay CONFIG LOG... what the filter would have done with logged requests\n"
      "       vell explain CONFIG URL   how the filter decides one request, rule by rule\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return 2;
  }
  const std::string command = argv[1];
  if (command == "check") return vell::tools::RunCheck(argc - 2, argv + 2);
  if (command == "run") return vell::tools::RunRequests(argc - 2, argv + 2);
  if (command == "replay") return vell::tools::RunReplay(argc - 2, argv + 2);
  if (command == "explain") return vell::tools::RunExplain(argc - 2, argv + 2);
  if (command == "-h" || command == "--help" || command == "help") {
    PrintUsage(stdout);
    return 0;
  }
  std::fprintf(stderr, "vell: unknown command \"%s\"\n", command.c_str());
  PrintUsage(stderr);
  return 2;
}
