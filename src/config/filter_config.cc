// Reads config.ini into FilterConfig: one key, "=" and value a line, read once at start-up.
#include "config/filter_config.h"

#include <fstream>

#include "config/rule_parsers.h"
#include "config/text.h"
#include "config/signatures.h"
#include "platform/platform.h"

namespace vell {

namespace {

void ApplyKey(FilterConfig& config, const std::string& key, const std::string& value) {
  if (key == "AuditLog") {
    config.auditLog = value;
  } else if (key == "ServerType") {
    config.serverType = value;
  } else if (key == "Rewrite") {
    config.rewriteRules.push_back(ParseRewriteRule(value));
  } else if (key == "DefaultAction") {
    ParseDefaultActions(value, config.defaultActions);
  } else if (key == "BFilter") {
    config.bFilters.push_back(ParseBFilter(value));
  } else if (key == "CFilter") {
    config.cFilters.push_back(ParseCFilter(value));
  } else if (key == "SFilter") {
    config.sFilters.push_back(ParseSFilter(value));
  }
}

bool IsConfigKey(const std::string& key) {
  for (const char* known : kConfigKeys) {
    if (key == known) return true;
  }
  return false;
}

}  // namespace

void FilterConfig::LoadConfig(const std::string& path, ConfigSource* source) {
  // Binary mode: line ends are trimmed below, and no byte (such as Ctrl-Z on Windows) ends the
  // file early. A line is everything up to its line feed, however long.
  std::ifstream file(platform::NativePath(path), std::ios::binary);
  if (source) source->opened = file.is_open();
  if (file.is_open()) {
    std::string raw;
    int number = 0;
    while (std::getline(file, raw)) {
      ++number;
      const std::size_t nul = raw.find('\0');
      if (nul != std::string::npos) raw.resize(nul);
      if (number == 1 && source && raw.rfind("\xEF\xBB\xBF", 0) == 0) source->byteOrderMark = true;

      ConfigLine line;
      line.number = number;
      line.hasNul = nul != std::string::npos;
      const std::string text = TrimWhitespace(raw);
      if (text.empty()) {
        line.use = ConfigLine::Use::Blank;
      } else if (text[0] == '/') {
        line.use = ConfigLine::Use::Comment;
      } else {
        const std::size_t equals = text.find('=');
        if (equals == std::string::npos) {
          line.key = line.value = text;
        } else {
          line.key = TrimWhitespace(text.substr(0, equals));
          line.value = TrimWhitespace(text.substr(equals + 1));
        }
        line.use = IsConfigKey(line.key) ? ConfigLine::Use::Key : ConfigLine::Use::Unknown;
        if (line.use == ConfigLine::Use::Key) ApplyKey(*this, line.key, line.value);
      }
      if (source) {
        line.text = raw;
        if (!line.text.empty() && line.text.back() == '\r') line.text.pop_back();
        source->lines.push_back(std::move(line));
      }
    }
  }
  ResolveSignatures(bFilters);
}

}  // namespace vell
