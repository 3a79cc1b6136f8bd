// One reader of the command line for every vell command, with the help, version and usage
// messages they share, and the opening of input files and standard input.
#include "tools/arguments.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace vell::tools {

namespace {

const OptionSyntax kHelp = {"--help", nullptr, "show this help and exit (also -h)"};
const OptionSyntax kVersion = {"--version", nullptr, "show the version and exit (also -V)"};

std::string OperandName(const char* operand) {
  std::string name = operand;
  if (name.size() > 3 && name.compare(name.size() - 3, 3, "...") == 0) name.resize(name.size() - 3);
  return name;
}

bool TakesMany(const CommandSyntax& syntax) {
  return !syntax.operands.empty() && OperandName(syntax.operands.back()) != syntax.operands.back();
}

const OptionSyntax* FindOption(const CommandSyntax& syntax, const std::string& name) {
  for (const OptionSyntax& option : syntax.options) {
    if (name == option.name) return &option;
  }
  return nullptr;
}

}  // namespace

std::string ParsedArguments::Value(const std::string& option, const std::string& fallback) const {
  auto it = options.find(option);
  return it == options.end() || it->second.empty() ? fallback : it->second.back();
}

std::string UsageLine(const CommandSyntax& syntax) {
  std::string line = std::string("usage: vell ") + syntax.name + (syntax.options.empty() ? "" : " [OPTIONS]");
  for (const char* operand : syntax.operands) line += std::string(" ") + operand;
  return line;
}

std::string HelpText(const CommandSyntax& syntax) {
  std::ostringstream text;
  text << UsageLine(syntax) << "\n" << syntax.summary << "\noptions:\n";
  std::vector<OptionSyntax> all = syntax.options;
  all.push_back(kHelp);
  all.push_back(kVersion);
  for (const OptionSyntax& option : all) {
    std::string left = std::string("  ") + option.name + (option.value ? std::string(" ") + option.value : "");
    if (left.size() < 24) left.resize(24, ' ');
    else left += "\n" + std::string(24, ' ');
    text << left << option.help << "\n";
  }
  text << "Exit status: 0 done and nothing wrong, 1 done with problems found, 2 not done (usage,\n"
          "a file that cannot be read, a module that cannot be loaded). See vell(1).\n";
  return text.str();
}

std::string VersionText() { return std::string("vell ") + VELL_VERSION; }

int UsageError(const CommandSyntax& syntax, const std::string& problem, std::ostream& err) {
  err << "vell " << syntax.name << ": " << problem << "\n"
      << UsageLine(syntax) << "\n"
      << "Try 'vell " << syntax.name << " --help' for more information.\n";
  return kExitTrouble;
}

std::optional<ParsedArguments> ParseArguments(const CommandSyntax& syntax, int argc, char** argv,
                                              int* exitCode, std::ostream& out, std::ostream& err) {
  ParsedArguments parsed;
  bool optionsEnded = false;
  for (int i = 0; i < argc; ++i) {
    const std::string word = argv[i];
    if (optionsEnded || word == "-" || word.empty() || word[0] != '-') {
      parsed.operands.push_back(word);
      continue;
    }
    if (word == "--") {
      optionsEnded = true;
      continue;
    }
    const std::size_t equals = word.find('=');
    const std::string name = word.substr(0, equals);
    if (equals != std::string::npos && (name == "--help" || name == "--version")) {
      *exitCode = UsageError(syntax, "option '" + name + "' takes no value", err);
      return std::nullopt;
    }
    if (word == "--help" || word == "-h") {
      out << HelpText(syntax);
      *exitCode = kExitOk;
      return std::nullopt;
    }
    if (word == "--version" || word == "-V") {
      out << VersionText() << "\n";
      *exitCode = kExitOk;
      return std::nullopt;
    }
    const OptionSyntax* option = word.rfind("--", 0) == 0 ? FindOption(syntax, name) : nullptr;
    if (!option) {
      *exitCode = UsageError(syntax, "unknown option '" + name + "'", err);
      return std::nullopt;
    }
    if (!option->value) {
      if (equals != std::string::npos) {
        *exitCode = UsageError(syntax, "option '" + name + "' takes no value", err);
        return std::nullopt;
      }
      parsed.options[name].emplace_back();
      continue;
    }
    if (equals != std::string::npos) {
      parsed.options[name].push_back(word.substr(equals + 1));
    } else if (i + 1 < argc) {
      parsed.options[name].push_back(argv[++i]);
    } else {
      *exitCode = UsageError(syntax, "option '" + name + "' needs a value (" + option->value + ")", err);
      return std::nullopt;
    }
  }
  const std::size_t wanted = syntax.operands.size();
  if (parsed.operands.size() < wanted) {
    *exitCode = UsageError(syntax, "missing " + OperandName(syntax.operands[parsed.operands.size()]), err);
    return std::nullopt;
  }
  if (parsed.operands.size() > wanted && !TakesMany(syntax)) {
    *exitCode = UsageError(syntax, "unexpected operand '" + parsed.operands[wanted] + "'", err);
    return std::nullopt;
  }
  *exitCode = kExitOk;
  return parsed;
}

std::string FileMessage(const std::string& path, const std::string& reason) {
  return "vell: " + path + ": " + reason;
}

bool CanRead(const std::string& path, std::string* reason) {
  if (path == "-") return true;
  std::FILE* file = OpenInput(path, reason);
  if (!file) return false;
  CloseInput(file);
  return true;
}

std::FILE* OpenInput(const std::string& path, std::string* reason) {
  if (path == "-") {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    return stdin;
  }
  // fopen opens a folder on Linux and fails with "Permission denied" on Windows; neither says
  // what is wrong.
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored)) {
    *reason = std::strerror(EISDIR);
    return nullptr;
  }
  errno = 0;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) *reason = std::strerror(errno != 0 ? errno : ENOENT);
  return file;
}

void CloseInput(std::FILE* file) {
  if (file && file != stdin) std::fclose(file);
}

bool ReadInput(const std::string& path, std::string* text, std::string* reason) {
  std::FILE* file = OpenInput(path, reason);
  if (!file) return false;
  text->clear();
  char buffer[64 * 1024];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text->append(buffer, got);
  const bool failed = std::ferror(file) != 0;
  if (failed) *reason = std::strerror(errno != 0 ? errno : EIO);
  CloseInput(file);
  return !failed;
}

std::string InputName(const std::string& path) { return path == "-" ? "(standard input)" : path; }

bool LoadConfigFile(const std::string& path, FilterConfig* config, std::ostream& err,
                    ConfigSource* source) {
  ConfigSource own;
  ConfigSource& read = source ? *source : own;
  config->LoadConfig(path, &read);
  if (read.opened && read.error.empty()) return true;
  err << FileMessage(path, read.error) << "\n";
  return false;
}

}  // namespace vell::tools
