// What config.ini holds, and the loader that reads it once at start-up.
#ifndef VELL_CONFIG_FILTER_CONFIG_H_
#define VELL_CONFIG_FILTER_CONFIG_H_

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "config/rule_records.h"

namespace vell {

// How the loader used one line of the file; filled only for callers that ask (vell check).
struct ConfigLine {
  enum class Use { Blank, Comment, Key, Unknown };
  int number = 0;     // 1-based
  std::string text;   // the line as read, up to its first NUL, line end removed
  std::string key;    // trimmed text before the first "=" (the whole line without "=")
  std::string value;  // trimmed text after the first "="
  Use use = Use::Blank;
  bool hasNul = false;  // the line held a NUL byte and was cut there
};

struct ConfigSource {
  bool opened = false;
  // Why the file could not be read ("No such file or directory", "Is a directory"); empty when it
  // was.
  std::string error;
  // The file starts with a UTF-8 byte-order mark, or is UTF-16 text (a byte-order mark of UTF-16,
  // or a NUL byte next to the first character): text the loader reads as 8-bit bytes.
  bool byteOrderMark = false;
  bool utf16 = false;
  std::vector<ConfigLine> lines;
};

// The keys, in the order the loader compares them.
inline constexpr const char* kConfigKeys[] = {
    "AuditLog",       "ServerType",     "Rewrite",         "DefaultAction", "BFilter",
    "CFilter",        "SFilter",        "AuditLogFormat",  "AuditLogRotate", "AuditLogMaxSize",
    "AuditLogKeep",   "Mode",           "Exclude",         "DFilter",       "DeepInspection"};

// "Mode": whether the rules' verdicts are carried out or only reported.
enum class FilterMode { Enforce, DetectionOnly };
// The two words "Mode" knows; any other value leaves the filter enforcing.
inline constexpr const char* kModeEnforce = "Enforce";
inline constexpr const char* kModeDetectionOnly = "DetectionOnly";

// When the audit log starts a new file: at each load of the filter, at the first entry of a new
// local day, both, or never ("none": another program rotates it and the host asks for a reopen).
struct AuditLogRotation {
  bool atLoad = true;
  bool daily = false;
  bool operator==(const AuditLogRotation&) const = default;
};

// The values of the audit log's keys, letter case ignored. Each gives nullopt for a value it does
// not accept; the loader then leaves the key's setting as it was, and vell check reports the line.
// "AuditLogFormat": "w3c" (false) or "json" (true).
std::optional<bool> ParseAuditLogFormat(const std::string& value);
// "AuditLogRotate": "none", or "load" and "daily" separated by commas.
std::optional<AuditLogRotation> ParseAuditLogRotate(const std::string& value);
// "AuditLogMaxSize": a whole number of bytes, optionally followed by K, M or G (with or without a
// trailing B; 1024-based), from 1 byte to 1024 G.
std::optional<uint64_t> ParseAuditLogMaxSize(const std::string& value);
// "AuditLogKeep": how many earlier files to keep, 1 to 9999999.
std::optional<unsigned> ParseAuditLogKeep(const std::string& value);

struct FilterConfig {
  std::string auditLog;
  // Opt-in: without their keys the log is W3C, rotated at each load only, every file kept.
  bool auditLogJson = false;
  AuditLogRotation auditLogRotate;
  uint64_t auditLogMaxSize = 0;  // bytes; 0: no rotation by size
  unsigned auditLogKeep = 0;     // 0: every earlier file kept
  std::string serverType;
  std::vector<RewriteRule> rewriteRules;
  std::vector<RuleAction> defaultActions;
  std::vector<BuiltinRule> bFilters;
  std::vector<FilterRule> cFilters;
  std::vector<VariableRule> sFilters;
  // "Mode": Enforce unless the last Mode line says DetectionOnly.
  FilterMode mode = FilterMode::Enforce;
  // "Exclude" lines, in file order.
  std::vector<Exclusion> exclusions;
  // "DFilter": rules of the deep-inspection layer, a name and actions each, in file order.
  std::vector<FilterRule> dFilters;
  // "DeepInspection=on": the BFilter signatures also meet the URL's decoded forms.
  bool deepInspection = false;

  // Reads the file at path into this record and attaches the built-in signatures to the BFilter
  // rules that name them. A file that cannot be opened leaves the record as it was. Reports
  // nothing; when source is given, it receives every line and how it was used. Throws only what
  // memory exhaustion throws.
  void LoadConfig(const std::string& path, ConfigSource* source = nullptr);
  // The same for text that is already open (vell check reading standard input).
  void LoadConfig(std::istream& file, ConfigSource* source = nullptr);

  bool operator==(const FilterConfig&) const = default;
};

}  // namespace vell

#endif  // VELL_CONFIG_FILTER_CONFIG_H_
