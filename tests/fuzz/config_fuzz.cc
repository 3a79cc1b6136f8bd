// Fuzzes the config.ini loader: any bytes as the file, read as start-up reads it, compiled into a
// rule set, and a few requests run through the compiled rules. Nothing may crash or leak; the audit
// log goes nowhere, whatever path the input names.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "auditlog/audit_log.h"
#include "config/filter_config.h"
#include "inspect/pipeline.h"
#include "inspect/rule_set.h"
#include "platform/platform.h"

namespace {

class TableRequest final : public vell::ServerRequest {
 public:
  explicit TableRequest(std::map<std::string, std::string> values) : values_(std::move(values)) {}

  bool GetServerVariable(const char* name, char* buffer, uint32_t* size) override {
    return Read(name, buffer, size);
  }
  bool GetHeader(const char* name, char* buffer, uint32_t* size) override {
    return Read(name, buffer, size);
  }
  bool SetHeader(const char* name, const char* value) override {
    values_[name] = value;
    return true;
  }

 private:
  bool Read(const char* name, char* buffer, uint32_t* size) {
    const auto it = values_.find(name);
    if (it == values_.end()) return false;
    const auto needed = static_cast<uint32_t>(it->second.size() + 1);
    if (*size < needed) {
      *size = needed;
      return false;
    }
    std::memcpy(buffer, it->second.c_str(), needed);
    *size = needed;
    return true;
  }

  std::map<std::string, std::string> values_;
};

const std::string& ConfigPath() {
  static const std::string path = "/tmp/vell-config-fuzz-" + std::to_string(getpid()) + ".ini";
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (std::FILE* file = std::fopen(ConfigPath().c_str(), "wb")) {
    std::fwrite(data, 1, size, file);
    std::fclose(file);
  }
  vell::FilterConfig config;
  vell::ConfigSource source;
  config.LoadConfig(ConfigPath(), &source);
  config.auditLog = "/dev/null";
  const auto rules = vell::CompileRuleSet(std::move(config));
  vell::CountRulesInForce(*rules);
  vell::AuditLog log;  // never started: writes nothing
  const std::string urls[] = {"/index.htm", "/scripts/..%5c../winnt/system32/cmd.exe?/c+dir",
                              "/a?id=%27%20UNION%0d%0a" + std::string(300, 'x')};
  for (const std::string& url : urls) {
    TableRequest request({{"SERVER_NAME", "10.0.0.1"},
                          {"REMOTE_ADDR", "10.0.0.5"},
                          {"REMOTE_HOST", "client.example"},
                          {"REQUEST_METHOD", "GET"},
                          {"ALL_HTTP", "HTTP_HOST:x\nHTTP_REFERER:http://r.example/\n"},
                          {"url", url}});
    vell::Inspection inspection(*rules, log, request);
    vell::RunRequestPipeline(inspection);
  }
  return 0;
}
