// The vell command as an operator runs it, from a shell: the conventions every command shares
// (help, version, usage mistakes, files that cannot be read, standard input) and replay reading
// the same log from a file, a pipe, a FIFO and standard input.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

const std::string kVell = VELL_BIN;
const std::string kData = VELL_TEST_DATA;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadAll(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// Runs a shell command line in a scratch folder, VELL standing for the vell command and DATA for
// the case folder; standard input is empty unless the line redirects it.
Outcome Shell(std::string line) {
  static int counter = 0;
  const fs::path folder = fs::temp_directory_path() / ("vell_cli_" + std::to_string(getpid()) + "_" +
                                                       std::to_string(++counter));
  fs::create_directories(folder);
  for (auto [word, value] : {std::pair<std::string, std::string>{"VELL", kVell}, {"DATA", kData}}) {
    for (std::size_t at = line.find(word); at != std::string::npos; at = line.find(word, at + value.size())) {
      line.replace(at, word.size(), value);
    }
  }
  const std::string command = "cd '" + folder.string() + "' && { " + line + " ; } </dev/null >out 2>err";
  const int raw = std::system(command.c_str());
  Outcome outcome;
  outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  outcome.out = ReadAll(folder / "out");
  outcome.err = ReadAll(folder / "err");
  fs::remove_all(folder);
  return outcome;
}

struct Convention {
  const char* line;
  int status;
  // What the named stream begins with (a regular expression); the other stream is empty.
  bool onStdout;
  const char* begins;
};

const Convention kConventions[] = {
    // Help: usage on standard output, exit 0, from every command and from vell itself.
    {"VELL --help", 0, true, "usage: vell COMMAND"},
    {"VELL -h", 0, true, "usage: vell COMMAND"},
    {"VELL help", 0, true, "usage: vell COMMAND"},
    {"VELL help check", 0, true, "usage: vell check CONFIG\n"},
    {"VELL check --help", 0, true, "usage: vell check CONFIG\n"},
    {"VELL run --help", 0, true, "usage: vell run \\[OPTIONS\\] CONFIG REQUESTS\n"},
    {"VELL replay -h", 0, true, "usage: vell replay \\[OPTIONS\\] CONFIG LOG\\.\\.\\.\n"},
    {"VELL explain --help", 0, true, "usage: vell explain \\[OPTIONS\\] CONFIG URL\\.\\.\\.\n"},
    // The version, the same string everywhere.
    {"VELL --version", 0, true, "vell " VELL_VERSION "\n$"},
    {"VELL -V", 0, true, "vell " VELL_VERSION "\n$"},
    {"VELL version", 0, true, "vell " VELL_VERSION "\n$"},
    {"VELL check --version", 0, true, "vell " VELL_VERSION "\n$"},
    {"VELL run -V", 0, true, "vell " VELL_VERSION "\n$"},
    {"VELL replay --version", 0, true, "vell " VELL_VERSION "\n$"},
    {"VELL explain --version", 0, true, "vell " VELL_VERSION "\n$"},
    // Usage mistakes: named on standard error, exit 2.
    {"VELL", 2, false, "vell: missing COMMAND\nusage:"},
    {"VELL frobnicate", 2, false, "vell: unknown command 'frobnicate'\n"},
    {"VELL --frobnicate", 2, false, "vell: unknown option '--frobnicate'\n"},
    {"VELL help frobnicate", 2, false, "vell help: unknown command 'frobnicate'\n"},
    {"VELL check --strict DATA/check/clean.ini", 2, false, "vell check: unknown option '--strict'\nusage: vell check CONFIG\n"},
    {"VELL run DATA/replay/config.ini -X", 2, false, "vell run: unknown option '-X'\n"},
    {"VELL replay --bogus DATA/replay/config.ini DATA/replay/urls.txt", 2, false, "vell replay: unknown option '--bogus'\n"},
    {"VELL explain DATA/replay/config.ini /x -X", 2, false, "vell explain: unknown option '-X'\n"},
    {"VELL check", 2, false, "vell check: missing CONFIG\n"},
    {"VELL check a.ini b.ini", 2, false, "vell check: unexpected operand 'b.ini'\n"},
    {"VELL run DATA/replay/config.ini", 2, false, "vell run: missing REQUESTS\n"},
    {"VELL replay DATA/replay/config.ini", 2, false, "vell replay: missing LOG\n"},
    {"VELL explain", 2, false, "vell explain: missing CONFIG\n"},
    {"VELL replay --format=xml DATA/replay/config.ini DATA/replay/urls.txt", 2, false,
     "vell replay: --format is text, json or csv\n"},
    {"VELL replay DATA/replay/config.ini DATA/replay/urls.txt --format", 2, false,
     "vell replay: option '--format' needs a value \\(FORMAT\\)\n"},
    {"VELL check --help=yes DATA/check/clean.ini", 2, false, "vell check: option '--help' takes no value\n"},
    // Files that cannot be read: "vell: PATH: reason", exit 2, whichever command.
    {"VELL check nope.ini", 2, false, "vell: /.*/nope\\.ini: No such file or directory\n$"},
    {"VELL run nope.ini DATA/../../examples/requests.http", 2, false, "vell: nope\\.ini: No such file or directory\n$"},
    {"VELL run DATA/replay/config.ini nope.http", 2, false, "vell: nope\\.http: No such file or directory\n$"},
    {"VELL replay --no-progress nope.ini DATA/replay/urls.txt", 2, false, "vell: nope\\.ini: No such file or directory\n$"},
    {"VELL explain nope.ini /", 2, false, "vell: nope\\.ini: No such file or directory\n$"},
    {"VELL check DATA", 2, false, "vell: /.*/cases: Is a directory\n$"},
    {"VELL run DATA DATA/../../examples/requests.http", 2, false, "vell: .*/cases: Is a directory\n$"},
    {"VELL replay --no-progress DATA DATA/replay/urls.txt", 2, false, "vell: .*/cases: Is a directory\n$"},
    {"VELL explain DATA /", 2, false, "vell: .*/cases: Is a directory\n$"},
    // "-" is standard input; "--" ends the options.
    {"VELL check - < DATA/check/clean.ini", 0, true, "\\(standard input\\)\n"},
    {"cat DATA/check/mistakes.ini | VELL check -", 1, true, "\\(standard input\\)\n"},
    {"VELL run DATA/replay/config.ini - < DATA/../../examples/requests.http", 0, true, "audit log: "},
    {"cat DATA/replay/urls.txt | VELL replay --no-progress DATA/replay/config.ini -", 0, true, "vell replay of "},
    {"printf '/index.htm\\n/a/../b\\n' | VELL explain DATA/replay/config.ini -", 0, true, "request: GET \"/index.htm\""},
    {"VELL explain DATA/replay/config.ini -- -X", 0, true, "request: GET \"-X\""},
    {"VELL replay DATA/replay/config.ini - -", 2, false, "vell replay: standard input \\(-\\) can be read only once\n"},
};

TEST(Cli, ConventionsOfEveryCommand) {
  for (const Convention& c : kConventions) {
    SCOPED_TRACE(c.line);
    const Outcome outcome = Shell(c.line);
    EXPECT_EQ(outcome.status, c.status) << outcome.out << outcome.err;
    const std::string& shown = c.onStdout ? outcome.out : outcome.err;
    const std::string& other = c.onStdout ? outcome.err : outcome.out;
    EXPECT_TRUE(std::regex_search(shown, std::regex(std::string("^") + c.begins))) << shown;
    EXPECT_EQ(other, "");
  }
}

TEST(Cli, RunSaysWhatTheModuleLoaded) {
  const Outcome outcome = Shell("VELL run DATA/check/mistakes.ini DATA/../../examples/requests.http");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_NE(outcome.out.find("\nrules in force: 2, config errors: 15, warnings: 5\n"
                             "first error: " + kData + "/check/mistakes.ini:3: \"Log\" is not an action"),
            std::string::npos)
      << outcome.out;
}

// The "totals" object and each file's counts of a JSON report; what depends on how the input was
// named (path) or timed (seconds) is left out.
std::string Counts(const std::string& json) {
  std::string counts;
  static const std::regex kFile(R"("lines": \d+, "requests": \d+, "malformed": \d+)");
  for (std::sregex_iterator it(json.begin(), json.end(), kFile), end; it != end; ++it) counts += it->str() + "\n";
  const std::size_t totals = json.find("\"totals\"");
  return counts + (totals == std::string::npos ? "no totals" : json.substr(totals, json.find('}', totals) - totals));
}

TEST(Cli, ReplayGivesTheSameCountsFromAFileAPipeAFifoAndStandardInput) {
  const std::string replay = "VELL replay --format json --no-progress DATA/replay/config.ini ";
  for (const char* log : {"combined.log", "combined.log.gz", "w3c-fields-change.log", "truncated.log.gz"}) {
    SCOPED_TRACE(log);
    const std::string path = "DATA/replay/" + std::string(log);
    const Outcome file = Shell(replay + path);
    const bool truncated = std::string(log) == "truncated.log.gz";
    EXPECT_EQ(file.status, truncated ? 1 : 0) << file.err;
    EXPECT_NE(Counts(file.out).find("\"requests\""), std::string::npos) << file.out;
    const std::string kWays[] = {
        "cat " + path + " | " + replay + "-",
        "cat " + path + " | " + replay + "/dev/stdin",
        replay + "- < " + path,
        "mkfifo fifo && { cat " + path + " > fifo & } && " + replay + "fifo",
    };
    for (const std::string& way : kWays) {
      SCOPED_TRACE(way);
      const Outcome other = Shell(way);
      EXPECT_EQ(other.status, file.status) << other.err;
      EXPECT_EQ(Counts(other.out), Counts(file.out));
    }
  }
}

TEST(Cli, TruncatedGzipGivesWhatZcatGivesAndFails) {
  const std::string replay = "VELL replay --format json --no-progress DATA/replay/config.ini ";
  const Outcome packed = Shell(replay + "DATA/replay/truncated.log.gz");
  const Outcome unpacked = Shell("zcat DATA/replay/truncated.log.gz 2>/dev/null | " + replay + "-");
  EXPECT_EQ(packed.status, 1);
  EXPECT_TRUE(std::regex_search(packed.err, std::regex(R"(^vell: .*/truncated\.log\.gz: line 192: the gzip data ends)")))
      << packed.err;
  // The same lines and requests, the piece of a line at the cut included.
  EXPECT_EQ(Counts(packed.out), Counts(unpacked.out));
  const Outcome lines = Shell("zcat DATA/replay/truncated.log.gz 2>/dev/null | wc -l");
  EXPECT_EQ(lines.out, "191\n");
  EXPECT_NE(packed.out.find("\"lines\": 192,"), std::string::npos);
}

}  // namespace
