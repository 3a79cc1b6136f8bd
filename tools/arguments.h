// Pieces shared by the argument parsers of the vell subcommands that take a config file, options
// with values and a list of inputs.
#ifndef VELL_TOOLS_ARGUMENTS_H_
#define VELL_TOOLS_ARGUMENTS_H_

#include <string>
#include <vector>

namespace vell::tools {

// The word after the option at argv[*at], taken as its value: *at moves onto it. False, with
// "OPTION needs a value" in *error, when the option is the last word.
bool TakeOptionValue(int argc, char** argv, int* at, std::string* value, std::string* error);

// The first positional word as the config file and the others as the inputs. False, with "needs a
// config file and INPUTS" in *error, when there are fewer than two words.
bool SplitConfigAndInputs(const std::vector<std::string>& positional, const std::string& inputs,
                          std::string* config, std::vector<std::string>* rest, std::string* error);

}  // namespace vell::tools

#endif  // VELL_TOOLS_ARGUMENTS_H_
