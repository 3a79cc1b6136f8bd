#include "tools/arguments.h"

namespace vell::tools {

bool TakeOptionValue(int argc, char** argv, int* at, std::string* value, std::string* error) {
  if (*at + 1 >= argc) {
    *error = std::string(argv[*at]) + " needs a value";
    return false;
  }
  *value = argv[++*at];
  return true;
}

bool SplitConfigAndInputs(const std::vector<std::string>& positional, const std::string& inputs,
                          std::string* config, std::vector<std::string>* rest, std::string* error) {
  if (positional.size() < 2) {
    *error = "needs a config file and " + inputs;
    return false;
  }
  *config = positional[0];
  rest->assign(positional.begin() + 1, positional.end());
  return true;
}

}  // namespace vell::tools
