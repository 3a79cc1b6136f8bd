// Serves replayed requests to the filter module through its exports.
#include "tools/replay_server.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "config/filter_config.h"
#include "tools/module_host.h"
#include "tools/private_module.h"

namespace vell::tools {

std::string ConfigWithAuditLog(const std::string& path, const std::string& auditLog) {
  ConfigSource source;
  FilterConfig ignored;
  ignored.LoadConfig(path, &source);
  std::set<int> auditLines;
  for (const ConfigLine& line : source.lines) {
    if (line.use == ConfigLine::Use::Key && line.key == "AuditLog") auditLines.insert(line.number);
  }
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  const std::string original = text.str();
  std::string out;
  std::size_t at = 0;
  int number = 0;
  while (at < original.size()) {
    std::size_t end = original.find('\n', at);
    end = end == std::string::npos ? original.size() : end + 1;
    if (!auditLines.count(++number)) out.append(original, at, end - at);
    at = end;
  }
  if (!auditLog.empty()) {
    if (!out.empty() && out.back() != '\n') out += '\n';
    out += "AuditLog=" + std::filesystem::absolute(auditLog).string() + "\n";
  }
  return out;
}

namespace {

class ModuleReplayServer : public ReplayServer {
 public:
  ModuleReplayServer(const std::string& modulePath, const std::string& configText)
      : copy_(modulePath, configText) {}

  bool Start(std::string* error) {
    HTTP_FILTER_VERSION version{};
    version.dwServerFilterVersion = 0x60000;
    if (!copy_.module().GetFilterVersion(&version)) {
      *error = "GetFilterVersion refused to load the filter";
      return false;
    }
    return true;
  }

  ServedRequest Serve(const WalkRequest& values, const std::string& allHttp) override {
    SimulatedRequest request({{"SERVER_NAME", values.serverName},
                              {"REMOTE_ADDR", values.remoteAddr},
                              {"REMOTE_HOST", values.remoteHost},
                              {"REQUEST_METHOD", values.method},
                              {"ALL_HTTP", allHttp}},
                             {{"url", values.url}});
    ServedRequest served;
    served.verdict = copy_.module().HttpFilterProc(request.context(), SF_NOTIFY_PREPROC_HEADERS,
                                                   request.headersRecord());
    for (const auto& change : request.requestHeaderChanges()) {
      if (change.name == "url") served.newUrl = change.value;
    }
    return served;
  }

 private:
  PrivateModule copy_;
};

}  // namespace

std::unique_ptr<ReplayServer> StartReplayServer(const ReplayOptions& options, std::string* error) {
  const std::string modulePath = options.module.empty() ? DefaultModulePath() : options.module;
  try {
    auto server = std::make_unique<ModuleReplayServer>(
        modulePath, ConfigWithAuditLog(options.config, options.auditLog));
    if (!server->Start(error)) return nullptr;
    return server;
  } catch (const std::exception& e) {
    *error = std::string(e.what()) + " (--module PATH names the filter module)";
    return nullptr;
  }
}

}  // namespace vell::tools
