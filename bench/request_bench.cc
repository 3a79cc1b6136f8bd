// Per-request cost of the whole filter through the module's exports, for each way of matching
// patterns, and of a peer engine with the same patterns. Each request is timed on its own; the
// counters give the median, the 99th percentile and the maximum in microseconds.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "config/signatures.h"
#include "tools/module_host.h"
#include "vell/isapi.h"

#ifdef VELL_BENCH_MODSECURITY
#include <modsecurity/intervention.h>
#include <modsecurity/modsecurity.h>
#include <modsecurity/rules_set.h>
#include <modsecurity/transaction.h>
#endif

namespace fs = std::filesystem;

namespace {

struct Options {
  std::string buildDir;    // where the module variants are
  std::string corpusDir;   // benign.txt, attacks.txt, adversarial.txt
  std::string configPath;  // config.ini for every variant
  std::size_t limit = 0;   // at most this many requests of each corpus (0: all)
  int passes = 3;          // timed passes over a corpus; a request's time is its median pass
};

// What the "deep" variant adds to the benchmark's configuration: the deep-inspection layer whole.
constexpr char kDeepLines[] =
    "\nDeepInspection=on\nDFilter=DeepSQLi\nDFilter=DeepXSS\nDFilter=DeepTraversal\n"
    "DFilter=DeepCommand\nDFilter=DeepCRLF\n";
Options options;

// One request as the server holds it.
struct Request {
  std::string url;
  std::string label;
};

std::vector<Request> ReadCorpus(const std::string& name) {
  std::vector<Request> out;
  std::ifstream in(options.corpusDir + "/" + name);
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos) {
      out.push_back({line, ""});
    } else {
      out.push_back({line.substr(tab + 1), line.substr(0, tab)});
    }
    if (options.limit != 0 && out.size() >= options.limit) break;
  }
  return out;
}

// A lean server for the benchmark: the variables of one request, no recording beyond a replaced
// URL, so the host adds as little as possible to what is measured.
struct LeanServer {
  const Request* request = nullptr;
  std::string replacedUrl;

  static BOOL Copy(const std::string& value, LPVOID buffer, LPDWORD size) {
    const DWORD needed = static_cast<DWORD>(value.size() + 1);
    if (*size < needed) {
      *size = needed;
      return 0;
    }
    std::memcpy(buffer, value.c_str(), needed);
    *size = needed;
    return 1;
  }
  static LeanServer& From(HTTP_FILTER_CONTEXT* pfc) { return *static_cast<LeanServer*>(pfc->pFilterContext); }

  static BOOL WINAPI GetServerVariable(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer, LPDWORD size) {
    static const std::string kServer = "www.example.com", kAddr = "192.0.2.10", kMethod = "GET",
                             kAllHttp = "HTTP_HOST:www.example.com\nHTTP_USER_AGENT:Mozilla/5.0\n"
                                        "HTTP_REFERER:http://www.example.com/start\n";
    if (std::strcmp(name, "SERVER_NAME") == 0) return Copy(kServer, buffer, size);
    if (std::strcmp(name, "REMOTE_ADDR") == 0 || std::strcmp(name, "REMOTE_HOST") == 0) return Copy(kAddr, buffer, size);
    if (std::strcmp(name, "REQUEST_METHOD") == 0) return Copy(kMethod, buffer, size);
    if (std::strcmp(name, "ALL_HTTP") == 0) return Copy(kAllHttp, buffer, size);
    (void)pfc;
    return 0;
  }
  static BOOL WINAPI GetHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer, LPDWORD size) {
    if (std::strcmp(name, "url") != 0) return 0;
    return Copy(From(pfc).request->url, buffer, size);
  }
  static BOOL WINAPI SetHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR, LPSTR value) {
    From(pfc).replacedUrl = value;
    return 1;
  }
};

// The records of one PREPROC_HEADERS call on a LeanServer.
struct LeanCall {
  HTTP_FILTER_CONTEXT context{};
  HTTP_FILTER_PREPROC_HEADERS headers{};

  explicit LeanCall(LeanServer& server) {
    context.cbSize = sizeof context;
    context.pFilterContext = &server;
    context.GetServerVariable = &LeanServer::GetServerVariable;
    headers.GetHeader = &LeanServer::GetHeader;
    headers.SetHeader = &LeanServer::SetHeader;
  }
};

std::size_t HeapInUse() { return mallinfo2().uordblks + mallinfo2().hblkhd; }

// A module variant loaded from a private folder holding a copy of it and the benchmark's config.
struct LoadedVariant {
  fs::path folder;
  std::unique_ptr<vell::tools::FilterModule> module;
  std::size_t heapAfterLoad = 0;
};

// name: the variant ("one_pass", "deep", ...); file: its module; deep: with kDeepLines.
LoadedVariant& Variant(const std::string& name, const std::string& file, bool deep) {
  static std::vector<std::pair<std::string, std::unique_ptr<LoadedVariant>>> loaded;
  for (auto& [known, variant] : loaded) {
    if (known == name) return *variant;
  }
  auto variant = std::make_unique<LoadedVariant>();
  variant->folder = fs::temp_directory_path() / ("vell-bench-" + name + "-" + std::to_string(::getpid()));
  fs::create_directories(variant->folder);
  fs::copy_file(options.buildDir + "/" + file, variant->folder / file, fs::copy_options::overwrite_existing);
  {
    std::ifstream in(options.configPath, std::ios::binary);
    std::ofstream out(variant->folder / "config.ini", std::ios::binary);
    out << in.rdbuf() << (deep ? kDeepLines : "");
  }
  const std::size_t before = HeapInUse();
  variant->module = std::make_unique<vell::tools::FilterModule>((variant->folder / file).string());
  HTTP_FILTER_VERSION version{};
  variant->module->GetFilterVersion(&version);
  variant->heapAfterLoad = HeapInUse() - before;
  loaded.emplace_back(name, std::move(variant));
  return *loaded.back().second;
}

// Each request's median over the passes: a pass that the machine interrupted does not count.
std::vector<double> Medians(std::vector<std::vector<double>>& times) {
  std::vector<double> out;
  for (auto& samples : times) {
    std::sort(samples.begin(), samples.end());
    out.push_back(samples[samples.size() / 2]);
  }
  return out;
}

void Report(benchmark::State& state, std::vector<double>& micros, std::size_t decided) {
  std::sort(micros.begin(), micros.end());
  auto at = [&](double q) { return micros[std::min(micros.size() - 1, static_cast<std::size_t>(q * micros.size()))]; };
  state.counters["p50_us"] = at(0.5);
  state.counters["p99_us"] = at(0.99);
  state.counters["max_us"] = micros.back();
  state.counters["requests"] = static_cast<double>(micros.size());
  state.counters["decided"] = static_cast<double>(decided);
}

void BenchModule(benchmark::State& state, const std::string& name, const std::string& file,
                 bool deep, const std::string& corpus) {
  LoadedVariant& variant = Variant(name, file, deep);
  std::vector<Request> requests = ReadCorpus(corpus);
  if (file != "vell.so" && corpus == "adversarial.txt") {
    // Backtracking takes seconds per URL of 8 KB and more: the 2 KB ones show the growth.
    std::erase_if(requests, [](const Request& r) { return r.url.size() > 2048; });
  }
  LeanServer server;
  LeanCall call(server);
  std::vector<double> micros;
  std::size_t decided = 0;
  // One untimed pass first, so that what is measured is the steady state (the one-pass engine
  // builds its state machine as it meets input). Skipped where a pass takes minutes.
  if (file == "vell.so" || corpus != "adversarial.txt") {
    for (const Request& request : requests) {
      server.request = &request;
      variant.module->HttpFilterProc(&call.context, SF_NOTIFY_PREPROC_HEADERS, &call.headers);
    }
  }
  // The backtracking variants take seconds per long adversarial URL: one pass there.
  const int passes = (file == "vell.so" || corpus != "adversarial.txt") ? options.passes : 1;
  std::vector<std::vector<double>> times(requests.size());
  for (auto& samples : times) samples.reserve(static_cast<std::size_t>(passes));
  const std::size_t heapBefore = HeapInUse();
  for (auto _ : state) {
    decided = 0;
    for (int pass = 0; pass < passes; ++pass) {
      for (std::size_t r = 0; r < requests.size(); ++r) {
        server.request = &requests[r];
        const auto start = std::chrono::steady_clock::now();
        const DWORD verdict = variant.module->HttpFilterProc(&call.context, SF_NOTIFY_PREPROC_HEADERS, &call.headers);
        const auto stop = std::chrono::steady_clock::now();
        times[r].push_back(std::chrono::duration<double, std::micro>(stop - start).count());
        if (pass == 0) decided += verdict != SF_STATUS_REQ_NEXT_NOTIFICATION;
      }
    }
  }
  micros = Medians(times);
  const std::size_t heapAfter = HeapInUse();
  Report(state, micros, decided);
  state.counters["config_heap_kb"] = static_cast<double>(variant.heapAfterLoad) / 1024.0;
  state.counters["heap_growth_kb"] =
      heapAfter > heapBefore ? static_cast<double>(heapAfter - heapBefore) / 1024.0 : 0.0;
}

// Serves every request once, untimed: what bench/instructions.sh counts under callgrind, which
// collects inside this function only. Kept out of line so that its name stays in the binary.
[[gnu::noinline]] void CountedPass(const vell::tools::FilterModule& module, LeanServer& server,
                                   LeanCall& call, const std::vector<Request>& requests) {
  for (const Request& request : requests) {
    server.request = &request;
    module.HttpFilterProc(&call.context, SF_NOTIFY_PREPROC_HEADERS, &call.headers);
  }
}

// --count=VARIANT/CORPUS: one untimed pass (the steady state), then CountedPass.
int CountInstructions(const std::string& variantName, const std::string& file, bool deep,
                      const std::string& corpus) {
  LoadedVariant& variant = Variant(variantName, file, deep);
  const std::vector<Request> requests = ReadCorpus(corpus);
  LeanServer server;
  LeanCall call(server);
  for (const Request& request : requests) {
    server.request = &request;
    variant.module->HttpFilterProc(&call.context, SF_NOTIFY_PREPROC_HEADERS, &call.headers);
  }
  CountedPass(*variant.module, server, call, requests);
  std::cout << requests.size() << " requests\n";
  return 0;
}

#ifdef VELL_BENCH_MODSECURITY
// The same 22 built-in patterns as rules of the peer engine: @rx on the raw request URI, no
// transformation, phase 1, letter case ignored, one transaction per request.
struct PeerEngine {
  modsecurity::ModSecurity engine;
  modsecurity::RulesSet rules;
  PeerEngine() {
    std::vector<std::string> patterns;
    for (const auto& signature : vell::SignatureCatalogue) patterns.emplace_back(signature.pattern);
    for (const char* pattern : vell::MetaCharPatterns) patterns.emplace_back(pattern);
    std::ostringstream text;
    text << "SecRuleEngine On\n";
    int id = 100000;
    for (const std::string& pattern : patterns) {
      text << "SecRule REQUEST_URI_RAW \"@rx (?i)" << pattern << "\" \"id:" << ++id
           << ",phase:1,deny,status:403,t:none\"\n";
    }
    if (rules.load(text.str().c_str()) < 0) {
      std::cerr << "peer engine rules: " << rules.getParserError() << "\n";
      std::exit(2);
    }
  }
};

void BenchPeer(benchmark::State& state, const std::string& corpus) {
  static PeerEngine peer;
  const std::vector<Request> requests = ReadCorpus(corpus);
  std::size_t decided = 0;
  std::vector<std::vector<double>> times(requests.size());
  for (auto _ : state) {
    decided = 0;
    for (int pass = 0; pass < options.passes; ++pass) {
      for (std::size_t r = 0; r < requests.size(); ++r) {
        const Request& request = requests[r];
        const auto start = std::chrono::steady_clock::now();
        modsecurity::Transaction transaction(&peer.engine, &peer.rules, nullptr);
        transaction.processConnection("192.0.2.10", 40000, "127.0.0.1", 80);
        transaction.processURI(request.url.c_str(), "GET", "1.1");
        transaction.addRequestHeader("Host", "www.example.com");
        transaction.processRequestHeaders();
        modsecurity::ModSecurityIntervention it;
        modsecurity::intervention::clean(&it);
        const bool denied = transaction.intervention(&it);
        modsecurity::intervention::free(&it);
        const auto stop = std::chrono::steady_clock::now();
        times[r].push_back(std::chrono::duration<double, std::micro>(stop - start).count());
        if (pass == 0) decided += denied;
      }
    }
  }
  std::vector<double> micros = Medians(times);
  Report(state, micros, decided);
}
#endif

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> rest = {argv[0]};
  bool slowAdversarial = false;
  std::string countOnly;  // VARIANT/CORPUS to serve once for an instruction count, or empty
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* flag) { return arg.rfind(flag, 0) == 0 ? arg.substr(std::strlen(flag)) : std::string(); };
    if (!value("--build=").empty()) options.buildDir = value("--build=");
    else if (!value("--corpus=").empty()) options.corpusDir = value("--corpus=");
    else if (!value("--config=").empty()) options.configPath = value("--config=");
    else if (!value("--limit=").empty()) options.limit = std::stoul(value("--limit="));
    else if (!value("--passes=").empty()) options.passes = std::max(1, std::stoi(value("--passes=")));
    else if (!value("--count=").empty()) countOnly = value("--count=");
    else if (arg == "--slow-adversarial") slowAdversarial = true;
    else rest.push_back(argv[i]);
  }
  if (options.buildDir.empty() || options.corpusDir.empty() || options.configPath.empty()) {
    std::cerr << "usage: vell_bench --build=DIR --corpus=DIR --config=FILE [--limit=N] [--passes=N] "
                 "[--slow-adversarial] [--count=VARIANT/CORPUS] [benchmark flags]\n";
    return 2;
  }
  struct Variant { const char* name; const char* file; bool deep; };
  // one_pass and deep are the same module, the second with the deep-inspection layer switched on.
  const Variant kVariants[] = {{"one_pass", "vell.so", false},
                               {"deep", "vell.so", true},
                               {"compiled_once", "vell_compiled_once.so", false},
                               {"literal", "vell_literal.so", false}};
  if (!countOnly.empty()) {
    const std::size_t slash = countOnly.find('/');
    for (const Variant& v : kVariants) {
      if (countOnly.substr(0, slash) == v.name && slash != std::string::npos) {
        return CountInstructions(v.name, v.file, v.deep, countOnly.substr(slash + 1) + ".txt");
      }
    }
    std::cerr << "--count: no variant " << countOnly.substr(0, slash) << "\n";
    return 2;
  }
  for (const Variant& v : kVariants) {
    for (const char* corpus : {"benign.txt", "attacks.txt", "adversarial.txt"}) {
      const bool slow = std::string(v.file) != "vell.so" && std::string(corpus) == "adversarial.txt";
      // The backtracking variants take seconds per long adversarial URL: only on request.
      if (slow && !slowAdversarial) continue;
      benchmark::RegisterBenchmark((std::string(v.name) + "/" + corpus).c_str(),
                                   [v, c = std::string(corpus)](benchmark::State& s) {
                                     BenchModule(s, v.name, v.file, v.deep, c);
                                   })
          ->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
    }
  }
#ifdef VELL_BENCH_MODSECURITY
  for (const char* corpus : {"benign.txt", "attacks.txt", "adversarial.txt"}) {
    benchmark::RegisterBenchmark((std::string("peer_modsecurity/") + corpus).c_str(),
                                 [c = std::string(corpus)](benchmark::State& s) { BenchPeer(s, c); })
        ->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
  }
#endif
  int count = static_cast<int>(rest.size());
  benchmark::Initialize(&count, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
