// vell run: plays the web server for a file of raw HTTP requests, loading the filter module only
// through its exports, and prints what the filter decided for each request.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
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
#include "tools/commands.h"
#include "tools/module_host.h"
#include "tools/private_module.h"

namespace vell::tools {

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
// "#" between requests are comments.
bool ParseRequests(const std::string& path, std::vector<RawRequest>& requests) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "vell run: fopen(\"%s\") failed\n", path.c_str());
    return false;
  }
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
        std::fprintf(stderr, "%s:%d: request line without a URL: %s\n", path.c_str(), number,
                     line.c_str());
        return false;
      }
      requests.push_back(request);
      current = &requests.back();
      continue;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) {
      std::fprintf(stderr, "%s:%d: header line without \":\": %s\n", path.c_str(), number,
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

void PrintUsage() {
  std::fputs(
      "usage: vell run CONFIG REQUESTS [--client ADDR] [--module PATH]\n"
      "  plays the web server: loads the filter module with CONFIG as its config.ini and sends it\n"
      "  each request of REQUESTS (request line and headers, requests separated by blank lines)\n",
      stderr);
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

}  // namespace

int RunRequests(int argc, char** argv) {
  std::vector<std::string> positional;
  std::string client = "127.0.0.1";
  std::string modulePath;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--client" || arg == "--module") && i + 1 < argc) {
      (arg == "--client" ? client : modulePath) = argv[++i];
    } else if (arg == "-h" || arg == "--help") {
      PrintUsage();
      return 0;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 2) {
    PrintUsage();
    return 2;
  }
  const std::string configPath = positional[0];
  std::vector<RawRequest> requests;
  if (!ParseRequests(positional[1], requests)) return 1;
  if (!fs::exists(configPath)) {
    std::fprintf(stderr, "vell run: fopen(\"%s\") failed\n", configPath.c_str());
    return 1;
  }
  if (modulePath.empty()) modulePath = DefaultModulePath();

  int status = 0;
  try {
    // The module reads config.ini from its own folder: give it a private one.
    std::ifstream configFile(configPath, std::ios::binary);
    std::ostringstream configText;
    configText << configFile.rdbuf();
    PrivateModule copy(modulePath, configText.str());
    FilterModule& module = copy.module();

    FilterConfig config;
    config.LoadConfig(configPath);
    if (!config.auditLog.empty()) {
      std::printf("audit log: %s\n", fs::absolute(config.auditLog).string().c_str());
    } else {
      std::printf("audit log: none (no AuditLog line)\n");
    }

    HTTP_FILTER_VERSION version{};
    version.dwServerFilterVersion = 0x60000;
    if (!module.GetFilterVersion(&version)) {
      std::fprintf(stderr, "vell run: GetFilterVersion refused to load the filter\n");
      status = 1;
    } else {
      std::printf("loaded %s: \"%s\", flags 0x%x\n", modulePath.c_str(), version.lpszFilterDesc,
                  static_cast<unsigned>(version.dwFlags));
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
    std::fprintf(stderr, "vell run: %s\n", e.what());
    status = 1;
  }
  return status;
}

}  // namespace vell::tools
