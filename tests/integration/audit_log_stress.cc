// Several processes with several threads each log hits with long URLs to one audit log through the
// module's exports, as the worker processes of a server do; then every entry must be in the log
// exactly once and whole: one line, one timestamp, its URL intact.
//
//   audit_log_stress [--processes P] [--threads T] [--entries N] [--folder DIR]
//
// Each thread logs N hits with URLs of 1 to 64 KB. Without --folder a temporary folder is used
// and removed. Exit status 0 when the log holds every entry once and whole.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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
  int processes = 2;
  int threads = 8;
  int entries = 10000;
  std::string folder;
  int child = -1;  // the number of this process when it is one of the writers
};

constexpr DWORD kNext = 0x8000002;
constexpr std::size_t kShortest = 1024;
constexpr std::size_t kLongest = 64 * 1024;

// The URL of one hit: "/p/<process>/<thread>/<entry>/<length>/" filled with letters up to the
// length, which lies between 1 and 64 KB and differs from hit to hit.
std::string UrlOf(int process, int thread, int entry) {
  const std::string head = "/p/" + std::to_string(process) + "/" + std::to_string(thread) + "/" +
                           std::to_string(entry) + "/";
  uint64_t mix = (static_cast<uint64_t>(process) << 48) ^ (static_cast<uint64_t>(thread) << 32) ^
                 static_cast<uint64_t>(entry);
  mix = (mix ^ (mix >> 31)) * 0x9E3779B97F4A7C15ull;
  mix ^= mix >> 29;
  const std::size_t length = kShortest + static_cast<std::size_t>(mix % (kLongest - kShortest + 1));
  std::string url = head + std::to_string(length) + "/";
  url.resize(length, static_cast<char>('a' + (entry % 26)));
  return url;
}

std::string ConfigText(const fs::path& log) {
  // Each writer process loads the filter; none of them may move the other's log away.
  return "AuditLog=" + log.string() + "\nAuditLogRotate=none\nCFilter=Probe,^/p/,log\n";
}

int RunWriter(const Options& options) {
  vell::tools::PrivateModule copy(VELL_MODULE_PATH, ConfigText(fs::path(options.folder) / "audit.log"));
  HTTP_FILTER_VERSION version{};
  version.dwServerFilterVersion = 0x60000;
  if (!copy.module().GetFilterVersion(&version)) return 2;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < options.threads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < options.entries; ++i) {
        vell::tools::SimulatedRequest request(
            {{"SERVER_NAME", "www.example.com"}, {"REMOTE_ADDR", "10.0.0." + std::to_string(options.child)},
             {"REMOTE_HOST", "h"}, {"REQUEST_METHOD", "GET"}, {"ALL_HTTP", ""}},
            {{"url", UrlOf(options.child, t, i)}});
        if (copy.module().HttpFilterProc(request.context(), SF_NOTIFY_PREPROC_HEADERS,
                                         request.headersRecord()) != kNext) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  return wrong.load() == 0 ? 0 : 1;
}

bool IsTimestamp(const std::string& text) {
  if (text.size() < 16 || text.size() > 19 || text[2] != '/' || text[5] != '/' || text[10] != ' ') {
    return false;
  }
  for (const char c : text) {
    if (!(c >= '0' && c <= '9') && c != '/' && c != ' ' && c != ':') return false;
  }
  return true;
}

// Checks one entry line (without its CR LF); on success marks its hit in seen.
bool CheckEntry(const std::string& line, const Options& options, std::vector<unsigned char>& seen) {
  const std::size_t comma = line.find(", Probe, 10.0.0.");
  if (comma == std::string::npos || !IsTimestamp(line.substr(0, comma))) return false;
  // Exactly one entry in the line: no second rule field, no second timestamp.
  if (line.find(", Probe, ", comma + 1) != std::string::npos) return false;
  const std::size_t urlAt = line.find(", /p/", comma + 1);
  if (urlAt == std::string::npos) return false;
  int process = -1;
  int thread = -1;
  int entry = -1;
  if (std::sscanf(line.c_str() + urlAt + 2, "/p/%d/%d/%d/", &process, &thread, &entry) != 3 ||
      process < 0 || process >= options.processes || thread < 0 || thread >= options.threads ||
      entry < 0 || entry >= options.entries) {
    return false;
  }
  if (line.compare(urlAt + 2, std::string::npos, UrlOf(process, thread, entry)) != 0) return false;
  unsigned char& mark = seen[(static_cast<std::size_t>(process) * options.threads + thread) *
                                 options.entries + entry];
  if (mark < 255) ++mark;
  return true;
}

int RunCheck(Options options, const char* program) {
  const bool ownFolder = options.folder.empty();
  if (ownFolder) {
    options.folder = (fs::temp_directory_path() /
                      ("vell-stress-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count())))
                         .string();
  }
  fs::create_directories(options.folder);
  const fs::path log = fs::path(options.folder) / "audit.log";
  fs::remove(log);

  const auto started = std::chrono::steady_clock::now();
  std::vector<std::thread> writers;
  std::atomic<int> failed{0};
  for (int p = 0; p < options.processes; ++p) {
    writers.emplace_back([&, p] {
      std::string command = "\"";
      command += program;
      command += "\" --child " + std::to_string(p);
      command += " --threads " + std::to_string(options.threads);
      command += " --entries " + std::to_string(options.entries);
      command += " --folder \"" + options.folder + "\"";
#ifdef _WIN32
      // cmd /c drops the first and the last quote of a line that starts with one.
      if (std::system(("\"" + command + "\"").c_str()) != 0) ++failed;
#else
      if (std::system(command.c_str()) != 0) ++failed;
#endif
    });
  }
  for (std::thread& writer : writers) writer.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  std::vector<unsigned char> seen(static_cast<std::size_t>(options.processes) * options.threads *
                                  options.entries);
  std::ifstream in(log, std::ios::binary);
  std::size_t lines = 0;
  std::size_t broken = 0;
  std::size_t headers = 0;
  for (std::string line; std::getline(in, line); ++lines) {
    if (line.empty() || line.back() != '\r') {
      ++broken;
      continue;
    }
    line.pop_back();
    if (line[0] == '#') {
      ++headers;
    } else if (!CheckEntry(line, options, seen)) {
      if (++broken <= 3) std::fprintf(stderr, "broken line: %.120s...\n", line.c_str());
    }
  }
  in.close();
  std::size_t missing = 0;
  std::size_t repeated = 0;
  for (const unsigned char mark : seen) {
    missing += mark == 0;
    repeated += mark > 1;
  }
  const uintmax_t bytes = fs::exists(log) ? fs::file_size(log) : 0;
  std::printf("%d processes x %d threads x %d entries: %zu lines (%zu header lines), %.1f MB in %.1f s; "
              "missing %zu, repeated %zu, broken %zu, writer failures %d\n",
              options.processes, options.threads, options.entries, lines, headers,
              static_cast<double>(bytes) / (1024 * 1024), seconds, missing, repeated, broken,
              failed.load());
  if (ownFolder) fs::remove_all(options.folder);
  return missing == 0 && repeated == 0 && broken == 0 && failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const std::string value = argv[i + 1];
    if (name == "--processes") {
      options.processes = std::stoi(value);
    } else if (name == "--threads") {
      options.threads = std::stoi(value);
    } else if (name == "--entries") {
      options.entries = std::stoi(value);
    } else if (name == "--folder") {
      options.folder = value;
    } else if (name == "--child") {
      options.child = std::stoi(value);
    } else {
      std::fprintf(stderr, "unknown option %s\n", name.c_str());
      return 2;
    }
  }
  try {
    return options.child >= 0 ? RunWriter(options) : RunCheck(options, argv[0]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
}
