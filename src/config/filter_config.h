// What config.ini holds, and the loader that reads it once at start-up.
#ifndef VELL_CONFIG_FILTER_CONFIG_H_
#define VELL_CONFIG_FILTER_CONFIG_H_

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
  bool byteOrderMark = false;
  std::vector<ConfigLine> lines;
};

// The keys, in the order the loader compares them.
inline constexpr const char* kConfigKeys[] = {"AuditLog", "ServerType", "Rewrite", "DefaultAction",
                                              "BFilter",  "CFilter",    "SFilter", "Mode",
                                              "Exclude"};

// "Mode": whether the rules' verdicts are carried out or only reported.
enum class FilterMode { Enforce, DetectionOnly };
// The two words "Mode" knows; any other value leaves the filter enforcing.
inline constexpr const char* kModeEnforce = "Enforce";
inline constexpr const char* kModeDetectionOnly = "DetectionOnly";

struct FilterConfig {
  std::string auditLog;
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

  // Reads the file at path into this record and attaches the built-in signatures to the BFilter
  // rules that name them. A file that cannot be opened leaves the record as it was. Reports
  // nothing; when source is given, it receives every line and how it was used. Throws only what
  // memory exhaustion throws.
  void LoadConfig(const std::string& path, ConfigSource* source = nullptr);

  bool operator==(const FilterConfig&) const = default;
};

}  // namespace vell

#endif  // VELL_CONFIG_FILTER_CONFIG_H_
