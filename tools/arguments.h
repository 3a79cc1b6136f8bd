// The command line of every vell command, read one way: GNU conventions (--help and --version,
// "--opt VALUE" and "--opt=VALUE", "--" ends the options, "-" is an operand meaning standard
// input), the same messages and the same exit codes for the same failures.
#ifndef VELL_TOOLS_ARGUMENTS_H_
#define VELL_TOOLS_ARGUMENTS_H_

#include <cstdio>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "config/filter_config.h"

namespace vell::tools {

// The exit codes of every command.
// 0: done, and nothing wrong was found.
inline constexpr int kExitOk = 0;
// 1: done, and what was read has problems: check found errors; replay could not read an input to
// its end, or the module and the rules disagreed; run met a malformed request.
inline constexpr int kExitProblems = 1;
// 2: not done: a usage mistake (unknown option, missing or extra operand, bad option value), a
// file that cannot be read, or a filter module that cannot be loaded.
inline constexpr int kExitTrouble = 2;

struct OptionSyntax {
  const char* name;   // "--format"
  const char* value;  // what it takes, shown in the help ("FORMAT"); nullptr for a flag
  const char* help;   // one line
};

struct CommandSyntax {
  const char* name;  // "replay"
  // The operands in order; a last one ending in "..." takes one or more words.
  std::vector<const char*> operands;
  // What the command does and what its operands are, shown by --help after the usage line.
  const char* summary;
  std::vector<OptionSyntax> options;
};

struct ParsedArguments {
  // Every value of each option given, in order; a flag has one empty value per use.
  std::map<std::string, std::vector<std::string>> options;
  std::vector<std::string> operands;

  bool Has(const std::string& option) const { return options.count(option) != 0; }
  // The last value given, or fallback.
  std::string Value(const std::string& option, const std::string& fallback = "") const;
};

// Reads argv (the words after the command's name) by syntax. --help or -h writes the help to out,
// --version or -V the version, and both answer nothing with *exitCode 0. A usage mistake writes
// "vell CMD: PROBLEM", the usage line and a hint to err, and answers nothing with *exitCode 2.
std::optional<ParsedArguments> ParseArguments(const CommandSyntax& syntax, int argc, char** argv,
                                              int* exitCode, std::ostream& out, std::ostream& err);

// The usage line ("usage: vell replay [OPTIONS] CONFIG LOG...") and the whole help text.
std::string UsageLine(const CommandSyntax& syntax);
std::string HelpText(const CommandSyntax& syntax);
// "vell 0.2.0": the version of the command, the same as the module's and the packages'.
std::string VersionText();

// Writes "vell CMD: PROBLEM", the usage line and a hint to err; returns kExitTrouble.
int UsageError(const CommandSyntax& syntax, const std::string& problem, std::ostream& err);

// "vell: PATH: REASON", the form of every message about a file.
std::string FileMessage(const std::string& path, const std::string& reason);

// Whether the file at path can be opened for reading; "-" (standard input) always can. False,
// with the reason in *reason ("No such file or directory", "Is a directory"), when not.
bool CanRead(const std::string& path, std::string* reason);

// Opens path for reading in binary mode, "-" as standard input (switched to binary on Windows).
// Null, with the reason in *reason, when it cannot be opened or is a folder. The caller closes
// what it got with CloseInput.
std::FILE* OpenInput(const std::string& path, std::string* reason);
void CloseInput(std::FILE* file);

// The whole content of path ("-": standard input). False, with the reason, when it cannot be read.
bool ReadInput(const std::string& path, std::string* text, std::string* reason);

// How messages name an input: "(standard input)" for "-", else the path as given.
std::string InputName(const std::string& path);

// Loads the config file at path with the filter's own loader, and into *source, when given, how
// each line was used. False, with "vell: PATH: REASON" written to err, when it cannot be read.
bool LoadConfigFile(const std::string& path, FilterConfig* config, std::ostream& err,
                    ConfigSource* source = nullptr);

}  // namespace vell::tools

#endif  // VELL_TOOLS_ARGUMENTS_H_
