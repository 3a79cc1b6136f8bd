// Reads config.ini into FilterConfig: one key, "=" and value a line, read once at start-up.
#include "config/filter_config.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
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
  } else if (key == "Mode") {
    // Any value but DetectionOnly enforces: a misspelt mode never switches blocking off.
    config.mode = value == kModeDetectionOnly ? FilterMode::DetectionOnly : FilterMode::Enforce;
  } else if (key == "Exclude") {
    config.exclusions.push_back(ParseExclusion(value));
  } else if (key == "DFilter") {
    config.dFilters.push_back(ParseDFilter(value));
  } else if (key == "DeepInspection") {
    // Only "on" switches it on: a misspelt value leaves the layer as it was.
    if (value == "on") config.deepInspection = true;
    if (value == "off") config.deepInspection = false;
  } else if (key == "AuditLogFormat") {
    config.auditLogJson = ParseAuditLogFormat(value).value_or(config.auditLogJson);
  } else if (key == "AuditLogRotate") {
    config.auditLogRotate = ParseAuditLogRotate(value).value_or(config.auditLogRotate);
  } else if (key == "AuditLogMaxSize") {
    config.auditLogMaxSize = ParseAuditLogMaxSize(value).value_or(config.auditLogMaxSize);
  } else if (key == "AuditLogKeep") {
    config.auditLogKeep = ParseAuditLogKeep(value).value_or(config.auditLogKeep);
  }
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The digits at the start of text as a number up to limit; nullopt without digits or beyond it.
// *end is where the digits stop.
std::optional<uint64_t> LeadingNumber(const std::string& text, uint64_t limit, std::size_t* end) {
  uint64_t number = 0;
  std::size_t at = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    number = number * 10 + static_cast<uint64_t>(text[at] - '0');
    if (number > limit) return std::nullopt;
  }
  if (at == 0) return std::nullopt;
  *end = at;
  return number;
}

bool IsConfigKey(const std::string& key) {
  for (const char* known : kConfigKeys) {
    if (key == known) return true;
  }
  return false;
}

}  // namespace

std::optional<bool> ParseAuditLogFormat(const std::string& value) {
  const std::string word = Lower(value);
  if (word == "w3c") return false;
  if (word == "json") return true;
  return std::nullopt;
}

std::optional<AuditLogRotation> ParseAuditLogRotate(const std::string& value) {
  if (Lower(value) == "none") return AuditLogRotation{false, false};
  AuditLogRotation rotation{false, false};
  const std::vector<std::string> tokens = SplitTokens(value);
  if (tokens.empty()) return std::nullopt;
  for (const std::string& token : tokens) {
    const std::string word = Lower(TrimWhitespace(token));
    if (word == "load") {
      rotation.atLoad = true;
    } else if (word == "daily") {
      rotation.daily = true;
    } else {
      return std::nullopt;
    }
  }
  return rotation;
}

std::optional<uint64_t> ParseAuditLogMaxSize(const std::string& value) {
  constexpr uint64_t kLargest = uint64_t{1} << 40;
  std::size_t end = 0;
  const std::optional<uint64_t> number = LeadingNumber(value, kLargest, &end);
  if (!number) return std::nullopt;
  std::string unit = Lower(TrimWhitespace(value.substr(end)));
  if (!unit.empty() && unit.back() == 'b') unit.pop_back();
  int shift = 0;
  if (unit == "k") {
    shift = 10;
  } else if (unit == "m") {
    shift = 20;
  } else if (unit == "g") {
    shift = 30;
  } else if (!unit.empty()) {
    return std::nullopt;
  }
  if (*number == 0 || *number > (kLargest >> shift)) return std::nullopt;
  return *number << shift;
}

std::optional<unsigned> ParseAuditLogKeep(const std::string& value) {
  std::size_t end = 0;
  const std::optional<uint64_t> number = LeadingNumber(value, 9999999, &end);
  if (!number || end != value.size() || *number == 0) return std::nullopt;
  return static_cast<unsigned>(*number);
}

void FilterConfig::LoadConfig(const std::string& path, ConfigSource* source) {
  // A folder holds no lines; saying so is clearer than the read error it would give.
  std::error_code ignored;
  if (std::filesystem::is_directory(platform::NativePath(path), ignored)) {
    if (source) source->error = std::strerror(EISDIR);
    ResolveSignatures(bFilters);
    return;
  }
  // Binary mode: line ends are trimmed below, and no byte (such as Ctrl-Z on Windows) ends the
  // file early.
  errno = 0;
  std::ifstream file(platform::NativePath(path), std::ios::binary);
  if (!file.is_open()) {
    if (source) source->error = std::strerror(errno != 0 ? errno : ENOENT);
    ResolveSignatures(bFilters);
    return;
  }
  LoadConfig(file, source);
}

void FilterConfig::LoadConfig(std::istream& file, ConfigSource* source) {
  if (source) source->opened = true;
  // A line is everything up to its line feed, however long.
  std::string raw;
  int number = 0;
  while (std::getline(file, raw)) {
    ++number;
    if (number == 1 && source) {
      source->byteOrderMark = raw.rfind("\xEF\xBB\xBF", 0) == 0;
      source->utf16 = raw.rfind("\xFF\xFE", 0) == 0 || raw.rfind("\xFE\xFF", 0) == 0 ||
                      (raw.size() >= 2 && (raw[0] == '\0' || raw[1] == '\0'));
    }
    const std::size_t nul = raw.find('\0');
    if (nul != std::string::npos) raw.resize(nul);

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
  if (source && file.bad()) source->error = "read failed";
  ResolveSignatures(bFilters);
}

}  // namespace vell
