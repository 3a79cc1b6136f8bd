// Fresh copies of the built module, loaded through its exports, and readers of the audit log.
#include "loaded_filter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>

namespace vell::testing {

namespace fs = std::filesystem;

TempFolder::TempFolder(const fs::path& subfolder) {
  static std::atomic<unsigned> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  root_ = fs::temp_directory_path() /
          ("vell-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
  fs::create_directories(root_);
  path_ = subfolder.empty() ? root_ : root_ / subfolder;
  fs::create_directories(path_);
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

std::string BuiltModuleName() { return fs::path(VELL_MODULE_PATH).filename().string(); }

LoadedFilter::LoadedFilter(const FilterSetup& setup) : folder_(setup.subfolder) {
  const fs::path modulePath = folder_.path() / setup.moduleName;
  fs::copy_file(VELL_MODULE_PATH, modulePath);
  if (setup.editModule) setup.editModule(modulePath);
  if (setup.auditLogInFolder || !setup.configLines.empty()) {
    std::string config;
    if (setup.auditLogInFolder) config += "AuditLog=" + auditLogPath().string() + "\r\n";
    for (const std::string& line : setup.configLines) config += line + "\r\n";
    WriteFile(folder_.path() / "config.ini", config);
  }
  const std::u8string utf8 = modulePath.u8string();
  module_ = std::make_unique<tools::FilterModule>(std::string(utf8.begin(), utf8.end()));
}

LoadedFilter::~LoadedFilter() { module_.reset(); }

BOOL LoadedFilter::Start() {
  version_ = HTTP_FILTER_VERSION{};
  version_.dwServerFilterVersion = 0x60000;
  // Garbage where the module must write, so a field it forgets shows.
  version_.dwFilterVersion = 0xdeadbeef;
  version_.dwFlags = 0xffffffff;
  std::fill(std::begin(version_.lpszFilterDesc), std::end(version_.lpszFilterDesc), 'x');
  return module_->GetFilterVersion(&version_);
}

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary);
  file << text;
}

std::vector<std::string> ReadLogLines(const fs::path& path) {
  const std::string text = ReadFile(path);
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos) {
      ADD_FAILURE() << "line without CR LF at the end of " << path << ": " << text.substr(at);
      break;
    }
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

bool IsTimestamp(const std::string& text) {
  static const std::regex kTimestamp(R"(\d\d/\d\d/\d\d\d\d \d{1,2}:\d{1,2}:\d{1,2})");
  return std::regex_match(text, kTimestamp);
}

std::map<std::string, std::string> VariablesOf(const CaseRequest& r) {
  return {{"SERVER_NAME", r.serverName},       {"REMOTE_ADDR", r.remoteAddr},
          {"REMOTE_HOST", r.remoteHost},       {"REQUEST_METHOD", r.method},
          {"ALL_HTTP", r.allHttp}};
}

std::vector<std::string> ReadLogEntries(const fs::path& path) {
  const std::vector<std::string> lines = ReadLogLines(path);
  std::vector<std::string> entries;
  if (lines.size() < 4) {
    ADD_FAILURE() << path << " holds no complete header";
    return entries;
  }
  EXPECT_EQ(lines[0], "#Software: Orvanta IIS Application Security Firewall");
  EXPECT_EQ(lines[1], "#Version: 1.0. Please report issues to security@vell.invalid");
  EXPECT_EQ(lines[2].substr(0, 7), "#Date: ");
  EXPECT_TRUE(IsTimestamp(lines[2].substr(7))) << lines[2];
  // Detection-only mode names a fifth field.
  EXPECT_TRUE(lines[3] == "#Fields: time, filter-name, c-ip, cs-uri-query" ||
              lines[3] == "#Fields: time, filter-name, c-ip, cs-uri-query, x-action")
      << lines[3];
  for (std::size_t i = 4; i < lines.size(); ++i) {
    const std::size_t comma = lines[i].find(", ");
    if (comma == std::string::npos || !IsTimestamp(lines[i].substr(0, comma))) {
      ADD_FAILURE() << "entry without a timestamp: " << lines[i];
      entries.push_back(lines[i]);
      continue;
    }
    entries.push_back(lines[i].substr(comma + 2));
  }
  return entries;
}

}  // namespace vell::testing
