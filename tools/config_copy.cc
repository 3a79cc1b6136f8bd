// The config.ini of a tool's private module copy: the operator's file with its audit log moved.
#include "tools/config_copy.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "config/filter_config.h"

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

}  // namespace vell::tools
