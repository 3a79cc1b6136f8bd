// vell check: loads config.ini with the filter's own loader and prints what the filter will do
// with it, followed by the config report: what the loader ignored or weakened, what never fires.
#include <filesystem>
#include <iostream>
#include <sstream>

#include "config/filter_config.h"
#include "config/signatures.h"
#include "inspect/config_report.h"
#include "inspect/rule_set.h"
#include "tools/arguments.h"
#include "tools/commands.h"

namespace vell::tools {

const CommandSyntax kCheckCommand = {
    "check",
    {"CONFIG"},
    "Loads CONFIG (a config.ini; - for standard input) with the filter's own loader and prints the\n"
    "rules in the order a request meets them, then every line the loader ignored or weakened, each\n"
    "rule that can never fire (errors) and what works but is likely unintended (warnings), with\n"
    "the file's full path and line. Exits 1 when there is an error.\n",
    {},
};

namespace {

const char* const kMetaCharShown[] = {";", "|", "!", "%00", "$", "@", "%0a/%0d", "%1b/%08/%7f"};

std::string DescribeAction(const RuleAction& action) {
  switch (action.kind) {
    case ActionKind::Deny: return "deny";
    case ActionKind::Redirect: return "redirect to \"" + action.argument + "\"";
    case ActionKind::Log: return "log";
  }
  return "?";
}

std::string DescribeActions(const std::vector<RuleAction>& actions) {
  std::string out;
  for (const RuleAction& action : actions) out += (out.empty() ? "" : ", ") + DescribeAction(action);
  return out.empty() ? "nothing" : out;
}

// Prints the rules of a loaded configuration in the order a request meets them, with the line
// each comes from and whether it can fire, as the report found.
class RulePrinter {
 public:
  RulePrinter(const RuleSet& rules, const ConfigReport& report, std::ostream& out)
      : config_(rules.config), rules_(rules), report_(report), out_(out) {}

  void Print() {
    out_ << report_.file << "\n";
    out_ << "audit log:       " << (config_.auditLog.empty() ? "(none)" : config_.auditLog)
         << AuditLogSettingsText() << "\n";
    out_ << "Server header:   "
         << (config_.serverType.empty() ? "(left as the server sends it)" : config_.serverType) << "\n";
    out_ << "default actions: " << DescribeActions(config_.defaultActions) << "\n";
    out_ << "mode:            "
         << (config_.mode == FilterMode::DetectionOnly
                 ? "DetectionOnly (deny and redirect are logged as would-deny and would-redirect, "
                   "not carried out)"
                 : "Enforce")
         << "\n";
    out_ << "rules in force:  " << report_.rulesInForce << "\n";
    out_ << "\nRules in the order a request meets them (the first that fires decides):\n";

    using Kind = RuleSet::UrlRuleKind;
    out_ << "server name:\n";
    for (std::size_t i = 0; i < config_.bFilters.size(); ++i) {
      if (rules_.bFilterKinds[i] != Kind::kRequestByIP) continue;
      Rule(report_.bFilters[i], "RequestByIP: the request names the server by a numeric address",
           config_.bFilters[i].actions);
    }
    out_ << "client values (SFilter):\n";
    for (std::size_t i = 0; i < config_.sFilters.size(); ++i) {
      const VariableRule& rule = config_.sFilters[i];
      Rule(report_.sFilters[i], rule.variable + " matches " + rule.pattern, rule.actions);
    }
    out_ << "URL (BFilter, then CFilter):\n";
    for (std::size_t i = 0; i < config_.bFilters.size(); ++i) {
      if (rules_.bFilterKinds[i] == Kind::kRequestByIP) continue;
      Rule(report_.bFilters[i], UrlRuleText(i), config_.bFilters[i].actions);
    }
    for (std::size_t i = 0; i < config_.cFilters.size(); ++i) {
      const FilterRule& rule = config_.cFilters[i];
      Rule(report_.cFilters[i], rule.name + ": URL matches " + rule.pattern, rule.actions);
    }
    if (config_.deepInspection || !config_.dFilters.empty()) {
      out_ << "deep inspection (decoded URL and arguments):\n";
      if (config_.deepInspection) {
        out_ << "  (DeepInspection on: the signatures above also meet the URL's decoded forms)\n";
      }
      for (std::size_t i = 0; i < config_.dFilters.size(); ++i) {
        Rule(report_.dFilters[i], config_.dFilters[i].name, config_.dFilters[i].actions);
      }
    }
    out_ << "rewrite (requests no rule decided; the first that matches applies):\n";
    for (std::size_t i = 0; i < config_.rewriteRules.size(); ++i) {
      const RewriteRule& rule = config_.rewriteRules[i];
      const RuleLineStatus& status = report_.rewrites[i];
      out_ << "  " << ++number_ << ". " << rule.pattern << "  => " << rule.replacement << Where(status)
           << (status.inForce ? "" : "  NEVER APPLIES") << "\n";
    }
    if (config_.exclusions.empty()) return;
    out_ << "exclusions (rules taken away from the requests every condition holds for):\n";
    for (std::size_t e = 0; e < config_.exclusions.size(); ++e) {
      const Exclusion& exclusion = config_.exclusions[e];
      const RuleLineStatus& status = report_.exclusions[e];
      std::string when;
      if (exclusion.hasUrl) when += " url matches " + exclusion.urlPattern;
      if (!exclusion.clients.empty()) when += " client in " + JoinWords(exclusion.clients);
      if (!exclusion.hosts.empty()) when += " host is " + JoinWords(exclusion.hosts);
      if (!exclusion.methods.empty()) when += " method is " + JoinWords(exclusion.methods);
      const std::string names = JoinWords(exclusion.rules);
      out_ << "  " << e + 1 << ". " << (names.empty() ? "(no rules)" : names) << " when"
           << (when.empty() ? " (always)" : when) << Where(status)
           << (status.inForce ? "" : "  NEVER APPLIES") << "\n";
    }
  }

 private:
  // "100 MB", "512 KB", "1000 bytes": the largest unit that divides the size.
  static std::string SizeText(uint64_t bytes) {
    const char* const kUnits[] = {" GB", " MB", " KB"};
    for (int i = 0; i < 3; ++i) {
      const int shift = 30 - 10 * i;
      if (bytes % (uint64_t{1} << shift) == 0) return std::to_string(bytes >> shift) + kUnits[i];
    }
    return std::to_string(bytes) + " bytes";
  }

  // " (json, new file at load and daily and at 100 MB, 30 earlier files kept)"; "" for the defaults.
  std::string AuditLogSettingsText() const {
    std::vector<std::string> parts;
    if (config_.auditLogJson) parts.push_back("json");
    std::vector<std::string> when;
    if (!config_.auditLogRotate.atLoad || config_.auditLogRotate.daily || config_.auditLogMaxSize) {
      if (config_.auditLogRotate.atLoad) when.push_back("at load");
      if (config_.auditLogRotate.daily) when.push_back("daily");
      if (config_.auditLogMaxSize) when.push_back("at " + SizeText(config_.auditLogMaxSize));
      std::string text = "new file ";
      for (std::size_t i = 0; i < when.size(); ++i) text += (i ? " and " : "") + when[i];
      parts.push_back(when.empty() ? "never rotated" : text);
    }
    if (config_.auditLogKeep) parts.push_back(std::to_string(config_.auditLogKeep) + " earlier files kept");
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? " (" : ", ") + part;
    return text.empty() ? text : text + ")";
  }

  std::string UrlRuleText(std::size_t i) const {
    using Kind = RuleSet::UrlRuleKind;
    const BuiltinRule& rule = config_.bFilters[i];
    switch (rules_.bFilterKinds[i]) {
      case Kind::kMetaChar: {
        std::string text = "MetaChar:";
        for (std::size_t bit = 0; bit < kMetaCharCount; ++bit) {
          if ((static_cast<uint32_t>(rule.enableMask) >> bit) & 1u) text += std::string(" ") + kMetaCharShown[bit];
        }
        return text == "MetaChar:" ? text + " (none)" : text;
      }
      case Kind::kMaxUrlLength:
        return "MaxURLLength: the URL is longer than " + std::to_string(rule.maxUrlLength) + " bytes";
      case Kind::kSignature:
        if (FindSignature(rule.name)) return rule.name + " (built-in signature " + rule.pattern + ")";
        return rule.name.empty() ? "(no name)" : rule.name;
      case Kind::kRequestByIP:
        break;
    }
    return rule.name;
  }

  static std::string JoinWords(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& word : words) out += (out.empty() ? "" : " ") + word;
    return out;
  }

  static std::string Where(const RuleLineStatus& status) {
    return status.line > 0 ? "  [line " + std::to_string(status.line) + "]" : "";
  }

  void Rule(const RuleLineStatus& status, const std::string& what, const std::vector<RuleAction>& own) {
    const std::string actions =
        own.empty() ? "default actions (" + DescribeActions(config_.defaultActions) + ")" : DescribeActions(own);
    out_ << "  " << ++number_ << ". " << what << "  -> " << actions << Where(status)
         << (status.inForce ? "" : "  NEVER FIRES") << "\n";
  }

  const FilterConfig& config_;
  const RuleSet& rules_;
  const ConfigReport& report_;
  std::ostream& out_;
  int number_ = 0;
};

}  // namespace

int CheckConfigFile(const std::string& path, std::ostream& out, std::ostream& err) {
  ConfigSource source;
  FilterConfig loaded;
  std::string file = InputName(path);
  if (path == "-") {
    std::string text, reason;
    if (!ReadInput(path, &text, &reason)) {
      err << FileMessage(file, reason) << "\n";
      return kExitTrouble;
    }
    std::istringstream in(text);
    loaded.LoadConfig(in, &source);
  } else {
    loaded.LoadConfig(path, &source);
    std::error_code ignored;
    const std::filesystem::path full = std::filesystem::absolute(path, ignored);
    if (!full.empty()) file = full.lexically_normal().string();
  }
  const auto rules = CompileRuleSet(std::move(loaded));
  const ConfigReport report = ReportConfig(file, source, *rules);
  if (!report.read) {
    err << FileMessage(file, report.readError) << "\n";
    return kExitTrouble;
  }
  RulePrinter(*rules, report, out).Print();
  out << "\n";
  for (const ConfigDiagnostic& diagnostic : report.diagnostics) out << report.Format(diagnostic) << "\n";
  out << report.errors << (report.errors == 1 ? " error, " : " errors, ") << report.warnings
      << (report.warnings == 1 ? " warning" : " warnings") << "\n";
  return report.errors > 0 ? kExitProblems : kExitOk;
}

int RunCheck(int argc, char** argv) {
  int status = kExitOk;
  const auto arguments = ParseArguments(kCheckCommand, argc, argv, &status, std::cout, std::cerr);
  if (!arguments) return status;
  return CheckConfigFile(arguments->operands[0], std::cout, std::cerr);
}

}  // namespace vell::tools
