// Logged hits per second: threads send requests that a log-only rule catches through the module's
// exports, each hit one audit line, for each module given and each log format. The configurations
// take turns, round after round, and the table gives each one's median.
//
//   vell_audit_bench --module PATH [--module PATH ...] [--threads 8] [--hits 40000]
//                    [--url-bytes 150] [--rounds 5]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/module_host.h"
#include "tools/private_module.h"
#include "vell/isapi.h"

namespace {

namespace fs = std::filesystem;

struct Options {
  std::vector<std::string> modules;
  int threads = 8;
  int hits = 40000;
  std::size_t urlBytes = 150;
  int rounds = 5;
};

struct Setup {
  std::string module;
  const char* format;  // "w3c" or "json", as the config asks
  std::vector<double> hitsPerSecond;
  std::string written;  // the format the log came out in
  long lines = -1;      // entry lines of the last round
};

struct Round {
  double hitsPerSecond = 0;
  std::string written;
  long lines = 0;
};

Round RunRound(const Setup& setup, const Options& options) {
  const std::string folder = "vell-audit-bench-log";
  const fs::path log = fs::temp_directory_path() / folder / "audit.log";
  fs::remove_all(log.parent_path());
  fs::create_directories(log.parent_path());
  std::string config = "AuditLog=" + log.string() + "\nCFilter=Probe,^/p/,log\n";
  if (std::string(setup.format) == "json") config += "AuditLogFormat=json\n";
  vell::tools::PrivateModule copy(setup.module, config);
  HTTP_FILTER_VERSION version{};
  version.dwServerFilterVersion = 0x60000;
  copy.module().GetFilterVersion(&version);

  std::string url = "/p/";
  url.resize(options.urlBytes, 'u');
  const int perThread = options.hits / options.threads;
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < options.threads; ++t) {
    threads.emplace_back([&] {
      // Each thread holds its own request; only the filter's work and its log are shared.
      vell::tools::SimulatedRequest request(
          {{"SERVER_NAME", "www.example.com"}, {"REMOTE_ADDR", "10.0.0.5"}, {"REMOTE_HOST", "h"},
           {"REQUEST_METHOD", "GET"}, {"ALL_HTTP", ""}},
          {{"url", url}});
      ++ready;
      while (!go) std::this_thread::yield();
      for (int i = 0; i < perThread; ++i) {
        copy.module().HttpFilterProc(request.context(), SF_NOTIFY_PREPROC_HEADERS,
                                     request.headersRecord());
      }
    });
  }
  while (ready < options.threads) std::this_thread::yield();
  const auto start = std::chrono::steady_clock::now();
  go = true;
  for (std::thread& thread : threads) thread.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  Round round;
  round.hitsPerSecond = perThread * options.threads / seconds;
  std::ifstream in(log, std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    ++round.lines;
    if (round.written.empty()) round.written = line[0] == '{' ? "json" : "w3c";
  }
  in.close();
  fs::remove_all(log.parent_path());
  return round;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const std::string value = argv[i + 1];
    if (name == "--module") {
      options.modules.push_back(value);
    } else if (name == "--threads") {
      options.threads = std::stoi(value);
    } else if (name == "--hits") {
      options.hits = std::stoi(value);
    } else if (name == "--url-bytes") {
      options.urlBytes = std::max<std::size_t>(std::stoul(value), 4);
    } else if (name == "--rounds") {
      options.rounds = std::stoi(value);
    } else {
      std::fprintf(stderr, "unknown option %s\n", name.c_str());
      return 2;
    }
  }
  if (options.modules.empty()) {
    std::fprintf(stderr, "usage: vell_audit_bench --module PATH [--module PATH ...] [--threads N] "
                         "[--hits N] [--url-bytes N] [--rounds N]\n");
    return 2;
  }
  std::vector<Setup> setups;
  for (const std::string& module : options.modules) {
    for (const char* format : {"w3c", "json"}) setups.push_back({module, format, {}, "", -1});
  }
  try {
    for (int r = 0; r < options.rounds; ++r) {
      for (Setup& setup : setups) {
        const Round round = RunRound(setup, options);
        setup.hitsPerSecond.push_back(round.hitsPerSecond);
        setup.written = round.written;
        setup.lines = round.lines;
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  const int expected = options.hits / options.threads * options.threads;
  std::printf("%d threads, %d hits a round, URLs of %zu bytes, median of %d rounds\n\n",
              options.threads, expected, options.urlBytes, options.rounds);
  std::printf("| module | format asked | format written | logged hits/s | entry lines |\n");
  std::printf("|---|---|---|---|---|\n");
  for (Setup& setup : setups) {
    std::sort(setup.hitsPerSecond.begin(), setup.hitsPerSecond.end());
    std::printf("| %s | %s | %s | %.0f | %ld of %d |\n", setup.module.c_str(), setup.format,
                setup.written.c_str(), setup.hitsPerSecond[setup.hitsPerSecond.size() / 2],
                setup.lines, expected);
  }
  return 0;
}
