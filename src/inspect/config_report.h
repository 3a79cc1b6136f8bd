// What the filter makes of a config.ini, said out loud: the lines its loader ignored or weakened,
// the rules that can never fire, and what works but is likely unintended. The loader itself
// reports nothing; `vell check` prints this report, and the module keeps its counts and first
// error for hosts (VellGetLoadReport).
#ifndef VELL_INSPECT_CONFIG_REPORT_H_
#define VELL_INSPECT_CONFIG_REPORT_H_

#include <cstddef>
#include <string>
#include <vector>

#include "config/filter_config.h"
#include "inspect/rule_set.h"

namespace vell {

struct ConfigDiagnostic {
  // An error: the filter does less than the file says (a line ignored or weakened, a rule that
  // can never fire, no rule at all, a log that cannot be written, a file that cannot be read).
  // A warning: it does what the file says, which is likely not what was meant.
  enum class Severity { kError, kWarning };
  Severity severity = Severity::kError;
  int line = 0;  // 1-based; 0 for the file as a whole
  std::string message;
};

// One rule of a list, in file order: the line it came from and whether it can fire (a Rewrite
// rule: whether it can apply).
struct RuleLineStatus {
  int line = 0;
  bool inForce = false;
};

struct ConfigReport {
  // The file as messages name it: its full path.
  std::string file;
  // The file was opened and read; when not, readError says why and the report holds that one
  // error.
  bool read = false;
  std::string readError;
  // File-wide diagnostics first, then by line; within a line in the order they were found.
  std::vector<ConfigDiagnostic> diagnostics;
  int errors = 0;
  int warnings = 0;
  // Parallel to the lists of the configuration.
  std::vector<RuleLineStatus> bFilters, cFilters, sFilters, dFilters, rewrites;
  // Parallel to the Exclude lines: whether each can ever apply.
  std::vector<RuleLineStatus> exclusions;
  // CountRulesInForce of the compiled rules.
  std::size_t rulesInForce = 0;

  // "FILE:LINE: error: MESSAGE" ("FILE: warning: MESSAGE" for the file as a whole).
  std::string Format(const ConfigDiagnostic& diagnostic) const;
  // The first error as "FILE:LINE: MESSAGE"; "" when there is none.
  std::string FirstError() const;
};

// The report on what start-up already loaded (source, filled by LoadConfig) and compiled
// (rules): no second read and no second compile. file names the config in messages. Cheap enough
// for start-up: a walk over the lines and one look at the audit log's folder. Throws only what
// memory exhaustion throws.
ConfigReport ReportConfig(const std::string& file, const ConfigSource& source, const RuleSet& rules);

}  // namespace vell

#endif  // VELL_INSPECT_CONFIG_REPORT_H_
