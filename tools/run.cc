// vell run: plays the web server for a file of raw HTTP requests, loading the filter module only
// through its exports, and prints what the filter decided for each request.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "config/filter_config.h"
#include "tools/arguments.h"
#include "tools/commands.h"
#include "tools/module_host.h"
#include "tools/private_module.h"
#include "vell/vell.h"

namespace vell::tools {

const CommandSyntax kRunCommand = {
    "run",
    {"CONFIG", "REQUESTS"},
    "Plays the web server: loads the filter module with CONFIG as its config.ini and sends it each\n"
    "request of REQUESTS (a request line and header lines, requests separated by blank lines,\n"
    "\"#\" lines between them comments), printing the verdict of each. Either operand may be - for\n"
    "standard input. The module writes its audit log as CONFIG says.\n",
    {{"--client", "ADDR", "the client address of every request (default 127.0.0.1)"},
     {"--module", "PATH", "the filter module to load (default: the one next to vell)"}},
};

namespace {

namespace fs = std::filesystem;

struct RawRequest {
  int line = 0;
  std::string method;
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;
};

std::string StripLineEnd(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// Requests are a request line and header lines; a blank line ends a request. Lines starting with
// "#" between requests are comments. name is how messages name the input.
bool ParseRequests(const std::string& name, const std::string& text, std::vector<RawRequest>& requests) {
  std::istringstream file(text);
  std::string line;
  int number = 0;
  RawRequest* current = nullptr;
  while (std::getline(file, line)) {
    ++number;
    line = StripLineEnd(line);
    if (line.empty()) {
      current = nullptr;
      continue;
    }
    if (current == nullptr) {
      if (line[0] == '#') continue;
      RawRequest request;
      request.line = number;
      std::istringstream words(line);
      words >> request.method >> request.url;
      if (request.url.empty()) {
        std::fprintf(stderr, "vell run: %s:%d: request line without a URL: %s\n", name.c_str(), number,
                     line.c_str());
        return false;
      }
      requests.push_back(request);
      current = &requests.back();
      continue;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) {
      std::fprintf(stderr, "vell run: %s:%d: header line without \":\": %s\n", name.c_str(), number,
                   line.c_str());
      return false;
    }
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t") == std::string::npos ? value.size()
                                                                       : value.find_first_not_of(" \t"));
    current->headers.emplace_back(line.substr(0, colon), value);
  }
  return true;
}

std::string HostName(const RawRequest& request) {
  for (const auto& [name, value] : request.headers) {
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower != "host") continue;
    if (!value.empty() && value[0] == '[') return value.substr(0, value.find(']') + 1);
    return value.substr(0, value.find(':'));
  }
  return "";
}

std::string Describe(DWORD verdict, const SimulatedRequest& request) {
  switch (verdict) {
    case SF_STATUS_REQ_NEXT_NOTIFICATION:
      return "allowed";
    case SF_STATUS_REQ_ERROR:
      return "denied";
    case SF_STATUS_REQ_HANDLED_NOTIFICATION:
      if (!request.requestHeaderChanges().empty()) {
        return "URL replaced by " + request.requestHeaderChanges().back().value;
      }
      return "handled, URL unchanged";
    default:
      return "unexpected verdict 0x" + [&] {
        char text[16];
        std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(verdict));
        return std::string(text);
      }();
  }
}

// What the module says of its start-up, when it can say it: the rules in force and the first
// problem of its config report ("vell check" lists them all), naming the config as the operator
// gave it rather than the module's private copy.
void PrintLoadReport(const FilterModule& module, const std::string& configName) {
  const auto getLoadReport =
      reinterpret_cast<BOOL(WINAPI*)(VELL_LOAD_REPORT*)>(module.FindExport("VellGetLoadReport"));
  VELL_LOAD_REPORT report{};
  report.cbSize = sizeof report;
  if (!getLoadReport || !getLoadReport(&report)) return;
  std::printf("rules in force: %u, config errors: %u, warnings: %u\n",
              static_cast<unsigned>(report.rulesInForce), static_cast<unsigned>(report.errors),
              static_cast<unsigned>(report.warnings));
  std::string firstError = report.firstError;
  if (firstError.rfind(report.configPath, 0) == 0) {
    firstError.replace(0, std::strlen(report.configPath), configName);
  }
  if (report.errors > 0) std::printf("first error: %s\n", firstError.c_str());
}

}  // namespace

int RunRequests(int argc, char** argv) {
  int status = kExitOk;
  const auto arguments = ParseArguments(kRunCommand, argc, argv, &status, std::cout, std::cerr);
  if (!arguments) return status;
  const std::string& configPath = arguments->operands[0];
  const std::string& requestsPath = arguments->operands[1];
  if (configPath == "-" && requestsPath == "-") {
    return UsageError(kRunCommand, "standard input can be only one of CONFIG and REQUESTS", std::cerr);
  }
  const std::string client = arguments->Value("--client", "127.0.0.1");
  std::string modulePath = arguments->Value("--module", DefaultModulePath());
  std::string configText, requestsText, reason;
  if (!ReadInput(configPath, &configText, &reason)) {
    std::cerr << FileMessage(InputName(configPath), reason) << "\n";
    return kExitTrouble;
  }
  if (!ReadInput(requestsPath, &requestsText, &reason)) {
    std::cerr << FileMessage(InputName(requestsPath), reason) << "\n";
    return kExitTrouble;
  }
  std::vector<RawRequest> requests;
  if (!ParseRequests(InputName(requestsPath), requestsText, requests)) return kExitProblems;

  try {
    // The module reads config.ini from its own folder: give it a private one.
    PrivateModule copy(modulePath, configText);
    FilterModule& module = copy.module();

    FilterConfig config;
    std::istringstream configStream(configText);
    config.LoadConfig(configStream);
    if (!config.auditLog.empty()) {
      std::printf("audit log: %s\n", fs::absolute(config.auditLog).string().c_str());
    } else {
      std::printf("audit log: none (no AuditLog line)\n");
    }

    HTTP_FILTER_VERSION version{};
    version.dwServerFilterVersion = 0x60000;
    if (!module.GetFilterVersion(&version)) {
      std::fprintf(stderr, "vell run: GetFilterVersion refused to load the filter\n");
      status = kExitTrouble;
    } else {
      std::printf("loaded %s: \"%s\", flags 0x%x\n", modulePath.c_str(), version.lpszFilterDesc,
                  static_cast<unsigned>(version.dwFlags));
      PrintLoadReport(module, InputName(configPath));
      for (const RawRequest& raw : requests) {
        SimulatedRequest request({{"SERVER_NAME", HostName(raw)},
                                  {"REMOTE_ADDR", client},
                                  {"REMOTE_HOST", client},
                                  {"REQUEST_METHOD", raw.method},
                                  {"ALL_HTTP", BuildAllHttp(raw.headers)}},
                                 {{"url", raw.url}});
        const DWORD verdict =
            module.HttpFilterProc(request.context(), SF_NOTIFY_PREPROC_HEADERS, request.headersRecord());
        std::string outcome = Describe(verdict, request);
        if (verdict == SF_STATUS_REQ_NEXT_NOTIFICATION) {
          SimulatedRequest response({}, {});
          module.HttpFilterProc(response.context(), SF_NOTIFY_SEND_RESPONSE, response.responseRecord());
          for (const auto& change : response.responseHeaderChanges()) {
            outcome += " (response " + change.name + " " + change.value + ")";
          }
        }
        std::printf("%s %s -> %s\n", raw.method.c_str(), raw.url.c_str(), outcome.c_str());
      }
    }
  } catch (const std::exception& e) {
    // The module could not be copied or loaded.
    std::fprintf(stderr, "vell run: %s (--module PATH names the filter module)\n", e.what());
    status = kExitTrouble;
  }
  return status;
}

}  // namespace vell::tools
