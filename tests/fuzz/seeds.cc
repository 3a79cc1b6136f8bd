// Writes the fuzz targets' first inputs from the test tables: fuzz_seeds DIR makes DIR/TARGET/ for
// each target and fills it, one file per table row or case file.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "cases/end_to_end.h"
#include "fuzz/fuzz_input.h"
#include "pattern/search_cases.h"

namespace fs = std::filesystem;

namespace {

void Write(const fs::path& folder, std::size_t number, const std::string& input) {
  fs::create_directories(folder);
  std::ofstream(folder / ("seed-" + std::to_string(number)), std::ios::binary) << input;
}

std::string ReadWhole(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: fuzz_seeds DIR\n";
    return 2;
  }
  const fs::path out = argv[1];
  const fs::path cases = VELL_TEST_DATA;
  std::size_t n = 0;
  for (const auto& c : vell::testing_cases::kSearch) {
    Write(out / "pattern_fuzz", n++, vell::fuzz::JoinInput({std::string(c.pattern), std::string(c.subject)}));
  }

  n = 0;
  for (const auto& c : vell::testing::EndToEndCases()) {
    std::string config;
    for (const std::string& line : c.config) config += line + "\r\n";
    Write(out / "config_fuzz", n, config);
    const auto& r = c.request;
    Write(out / "request_fuzz", n,
          vell::fuzz::JoinInput({r.serverName, r.remoteAddr, r.remoteHost, r.method, r.allHttp, r.url, ""}));
    Write(out / "detect_fuzz", n++, r.url);
  }
  for (const fs::path& file : {cases / "check" / "clean.ini", cases / "check" / "mistakes.ini",
                               cases / "replay" / "config.ini", cases / ".." / ".." / "examples" / "config.ini"}) {
    Write(out / "config_fuzz", n++, ReadWhole(file));
  }

  n = 0;
  for (const auto& entry : fs::directory_iterator(cases / "replay")) {
    const std::string name = entry.path().filename().string();
    if (name == "config.ini") continue;
    // The format byte: detect; gzip files are read as they are.
    Write(out / "access_log_fuzz", n++, std::string(1, '\0') + ReadWhole(entry.path()));
  }
  return 0;
}
