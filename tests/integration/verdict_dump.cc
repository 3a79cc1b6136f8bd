// Sends generated requests through a copy of a built module and prints what the server saw: one
// line per request (verdict, last error of a deny, new URL), then the audit log's entries without
// their time field. The same program built for each platform prints the same text for the same
// module sources, config and count, which the cross-build differential test compares.
// usage: verdict_dump MODULE CONFIG COUNT
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tools/module_host.h"

namespace fs = std::filesystem;

namespace {

std::string ReadWhole(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// Pieces that requests are made of: benign paths, the attacks the rules look for, padding that
// makes the backtracking engine give up, bytes that need care.
const std::vector<std::string> kPaths = {"/", "/index.htm", "/old/page.htm", "/admin/users", "/scripts/",
                                         "/a.asp", "/watch/", "/search", "/x/default.ida", "/OLD/A"};
const std::vector<std::string> kPieces = {
    "?q=", "&id=", "%27%20union", "'union", "..%5c..", "/system32/cmd.exe", "%0d%0aSet-Cookie:",
    ";", "|", "$", "%3B", "select", "passwd", "\xff", "%00", "aaaa", "x", " xxy", "-", "_"};

std::string Pick(std::mt19937& rng, const std::vector<std::string>& list) { return list[rng() % list.size()]; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: verdict_dump MODULE CONFIG COUNT\n";
    return 2;
  }
  const fs::path folder = fs::temp_directory_path() / ("vell-verdict-dump-" + std::to_string(std::random_device{}()));
  fs::create_directories(folder);
  const fs::path module = folder / fs::path(argv[1]).filename();
  fs::copy_file(argv[1], module);
  const fs::path log = folder / "audit.log";
  {
    std::ofstream config(folder / "config.ini", std::ios::binary);
    config << "AuditLog=" << log.string() << "\r\n" << ReadWhole(argv[2]);
  }
  const long count = std::stol(argv[3]);
  {
    vell::tools::FilterModule filter(module.string());
    HTTP_FILTER_VERSION version{};
    version.dwServerFilterVersion = 0x60000;
    if (!filter.GetFilterVersion(&version)) {
      std::cerr << "GetFilterVersion failed\n";
      return 1;
    }
    std::mt19937 rng(20240611);
    for (long i = 0; i < count; ++i) {
      std::string url = Pick(rng, kPaths);
      const int pieces = static_cast<int>(rng() % 5);
      for (int k = 0; k < pieces; ++k) url += Pick(rng, kPieces);
      if (rng() % 500 == 0) url += std::string(30, 'x') + " xxy";  // a give-up, now and then
      if (rng() % 200 == 0) url += std::string(3000 + rng() % 2000, 'a');
      const std::string address = rng() % 10 == 0 ? "10.66.1." + std::to_string(rng() % 256) : "10.0.0.5";
      const std::string method = rng() % 20 == 0 ? "TRACE" : "GET";
      const std::string serverName = rng() % 25 == 0 ? "127.0.0.1" : "www.example.com";
      const std::string referer = rng() % 15 == 0 ? "http://casino.example/" : "http://www.example.com/";
      vell::tools::SimulatedRequest request(
          {{"SERVER_NAME", serverName}, {"REMOTE_ADDR", address}, {"REMOTE_HOST", "client.example.com"},
           {"REQUEST_METHOD", method}, {"ALL_HTTP", "HTTP_HOST:www.example.com\nHTTP_REFERER:" + referer + "\n"}},
          {{"url", url}});
      const DWORD verdict = filter.HttpFilterProc(request.context(), SF_NOTIFY_PREPROC_HEADERS, request.headersRecord());
      std::cout << i << ' ' << std::hex << verdict << std::dec;
      if (verdict == 0x8000004) std::cout << " error " << filter.LastError();
      for (const auto& change : request.requestHeaderChanges()) std::cout << " url=" << change.value;
      std::cout << '\n';
    }
  }
  std::istringstream lines(ReadWhole(log));
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();  // every audit line ends with CR LF
    if (line.rfind("#Date:", 0) == 0) continue;
    const std::size_t comma = line.find(", ");
    std::cout << "log " << (line[0] == '#' || comma == std::string::npos ? line : line.substr(comma + 2)) << '\n';
  }
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  return 0;
}
