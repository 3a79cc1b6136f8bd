// Names of rules, checks and config lines for the tools' reports.
#include "tools/rule_labels.h"

#include "vell/vell.h"

namespace vell::tools {

namespace {

const char* ListKey(uint32_t list) {
  switch (list) {
    case VELL_LIST_BFILTER: return "BFilter";
    case VELL_LIST_CFILTER: return "CFilter";
    case VELL_LIST_SFILTER: return "SFilter";
    case VELL_LIST_DFILTER: return "DFilter";
    case VELL_LIST_REWRITE: return "Rewrite";
  }
  return "";
}

// The line number of the index-th line whose key is `key`.
int KeyLine(const ConfigSource& source, const char* key, std::size_t index) {
  for (const ConfigLine& line : source.lines) {
    if (line.use != ConfigLine::Use::Key || line.key != key) continue;
    if (index-- == 0) return line.number;
  }
  return 0;
}

}  // namespace

const char* CheckName(uint32_t check) {
  switch (check) {
    case VELL_CHECK_REQUEST_BY_IP: return "RequestByIP";
    case VELL_CHECK_CLIENT: return "client rules";
    case VELL_CHECK_URL: return "URL rules";
    case VELL_CHECK_DEEP: return "deep inspection";
    case VELL_CHECK_REWRITE: return "Rewrite";
  }
  return "?";
}

const char* ListName(uint32_t list) {
  const char* key = ListKey(list);
  return *key ? key : "?";
}

std::string RuleLabel(const FilterConfig& config, uint32_t list, std::size_t index) {
  const std::string number = "#" + std::to_string(index + 1);
  switch (list) {
    case VELL_LIST_BFILTER:
      if (index < config.bFilters.size() && !config.bFilters[index].name.empty()) {
        return config.bFilters[index].name;
      }
      break;
    case VELL_LIST_CFILTER:
      if (index < config.cFilters.size() && !config.cFilters[index].name.empty()) {
        return config.cFilters[index].name;
      }
      break;
    case VELL_LIST_DFILTER:
      if (index < config.dFilters.size() && !config.dFilters[index].name.empty()) {
        return config.dFilters[index].name;
      }
      break;
    case VELL_LIST_SFILTER:
      if (index < config.sFilters.size()) {
        const VariableRule& rule = config.sFilters[index];
        std::string label = "SFilter" + number + " " + rule.variable + " ~ " + rule.pattern;
        return rule.name.empty() ? label : rule.name + " (" + label + ")";
      }
      break;
    case VELL_LIST_REWRITE:
      if (index < config.rewriteRules.size()) {
        const RewriteRule& rule = config.rewriteRules[index];
        return "Rewrite" + number + " " + rule.pattern + " => " + rule.replacement;
      }
      break;
  }
  return ListName(list) + number;
}

std::string RulePattern(const FilterConfig& config, uint32_t list, std::size_t index) {
  switch (list) {
    case VELL_LIST_BFILTER:
      return index < config.bFilters.size() ? config.bFilters[index].pattern : "";
    case VELL_LIST_CFILTER:
      return index < config.cFilters.size() ? config.cFilters[index].pattern : "";
    case VELL_LIST_SFILTER:
      return index < config.sFilters.size() ? config.sFilters[index].pattern : "";
    case VELL_LIST_REWRITE:
      return index < config.rewriteRules.size() ? config.rewriteRules[index].pattern : "";
  }
  return "";
}

int RuleLine(const ConfigSource& source, uint32_t list, std::size_t index) {
  const char* key = ListKey(list);
  return *key ? KeyLine(source, key, index) : 0;
}

int ExclusionLine(const ConfigSource& source, std::size_t exclusion) {
  return KeyLine(source, "Exclude", exclusion);
}

}  // namespace vell::tools
