// vell check: loads config.ini with the filter's own loader and says what the filter will do with
// it, and what the loader ignored or weakened. The filter itself reports nothing while it runs.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include "config/filter_config.h"
#include "config/rule_parsers.h"
#include "config/text.h"
#include "inspect/rule_set.h"
#include "config/signatures.h"
#include "tools/commands.h"

namespace vell::tools {

namespace {

// For the hint on a name in the wrong case.
const char* const kVariables[] = {"REMOTE_ADDR", "REMOTE_HOST", "REQUEST_METHOD", "HTTP_REFERER"};
const char* const kActionWords[] = {"deny", "redirect", "log"};
const char* const kSpecialRules[] = {"RequestByIP", "MetaChar", "MaxURLLength"};
const char* const kMetaCharShown[] = {";", "|", "!", "%00", "$", "@", "%0a/%0d", "%1b/%08/%7f"};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The candidate that equals word but for letter case, if any.
template <typename Range>
std::string SameButForCase(const std::string& word, const Range& candidates) {
  for (const auto& candidate : candidates) {
    if (Lower(word) == Lower(candidate)) return candidate;
  }
  return "";
}

// " (names are case-sensitive; did you mean "X"?)" when name is candidate X in another case.
template <typename Range>
std::string NameCaseHint(const std::string& name, const Range& candidates) {
  const std::string known = SameButForCase(name, candidates);
  return known.empty() ? "" : " (names are case-sensitive; did you mean \"" + known + "\"?)";
}

// " (action words are lower case: "deny")" when word is an action word in another case.
std::string ActionCaseHint(const std::string& word) {
  const std::string known = SameButForCase(word, kActionWords);
  return known.empty() ? "" : " (action words are lower case: \"" + known + "\")";
}

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

class Checker {
 public:
  Checker(std::string label, std::ostream& out) : label_(std::move(label)), out_(out) {}

  int Run(const std::string& path) {
    ConfigSource source;
    FilterConfig loaded;
    loaded.LoadConfig(path, &source);
    if (!source.opened) {
      out_ << label_ << ": cannot open the file; the filter would start with no rules at all\n";
      return 2;
    }
    rules_ = CompileRuleSet(loaded);
    const FilterConfig& config = rules_->config;
    IndexLines(source);
    CheckLines(source);
    CheckAuditLog(config);
    PrintSummary(config);
    PrintRules(config);
    out_ << "\n";
    std::stable_sort(findings_.begin(), findings_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& finding : findings_) out_ << finding.second << "\n";
    out_ << errors_ << (errors_ == 1 ? " error, " : " errors, ") << warnings_
         << (warnings_ == 1 ? " warning" : " warnings") << "\n";
    return errors_ > 0 ? 1 : 0;
  }

 private:
  void Error(int line, const std::string& text) {
    findings_.push_back({line, Where(line) + "error: " + text});
    ++errors_;
  }
  void Warning(int line, const std::string& text) {
    findings_.push_back({line, Where(line) + "warning: " + text});
    ++warnings_;
  }
  void Note(int line, const std::string& text) { findings_.push_back({line, Where(line) + "note: " + text}); }
  std::string Where(int line) const {
    return line > 0 ? label_ + ":" + std::to_string(line) + ": " : label_ + ": ";
  }

  // Line numbers of the records of each key, in file order, and the lines themselves.
  void IndexLines(const ConfigSource& source) {
    for (const ConfigLine& line : source.lines) {
      if (line.use == ConfigLine::Use::Key) lineOf_[line.key].push_back(&line);
    }
  }
  const ConfigLine* LineOf(const std::string& key, std::size_t index) const {
    auto it = lineOf_.find(key);
    if (it == lineOf_.end() || index >= it->second.size()) return nullptr;
    return it->second[index];
  }
  int NumberOf(const std::string& key, std::size_t index) const {
    const ConfigLine* line = LineOf(key, index);
    return line ? line->number : 0;
  }

  void CheckLines(const ConfigSource& source) {
    if (source.byteOrderMark) {
      Warning(1, "the file starts with a byte-order mark, which hides the first line's key; save "
                 "the file without it");
    }
    for (const ConfigLine& line : source.lines) {
      if (line.hasNul) Warning(line.number, "a NUL byte ends this line early; the rest is ignored");
      if (line.use != ConfigLine::Use::Unknown) continue;
      const std::string known = SameButForCase(line.key, kConfigKeys);
      if (!known.empty()) {
        Warning(line.number, "unknown key \"" + line.key +
                                 "\" (keys are case-sensitive; did you mean \"" + known +
                                 "\"?); the line is ignored");
      } else {
        Warning(line.number, "unknown key \"" + line.key + "\"; the line is ignored");
      }
    }
    for (const ConfigLine* line : Lines("DefaultAction")) {
      CheckActionTokens(line, SplitTokens(line->value), 0);
    }
  }

  std::vector<const ConfigLine*> Lines(const std::string& key) const {
    auto it = lineOf_.find(key);
    return it == lineOf_.end() ? std::vector<const ConfigLine*>{} : it->second;
  }

  // Tokens from index `first` on that are meant as actions: report the ones the loader skipped.
  void CheckActionTokens(const ConfigLine* line, const std::vector<std::string>& tokens,
                         std::size_t first) {
    for (std::size_t i = first; i < tokens.size(); ++i) {
      const KeyedToken token = SplitKeyedToken(TrimWhitespace(tokens[i]));
      std::vector<RuleAction> ignored;
      if (AppendActionToken(token, ignored)) continue;
      Warning(line->number, "\"" + TrimWhitespace(tokens[i]) + "\" is not an action" +
                                ActionCaseHint(token.key) + "; it is ignored");
    }
  }

  void CheckActions(int line, const std::vector<RuleAction>& own, const char* what) {
    const std::vector<RuleAction>& actions = own.empty() ? rules_->config.defaultActions : own;
    if (actions.empty()) {
      Warning(line, std::string(what) + " has no actions and there is no DefaultAction: a hit does nothing");
      return;
    }
    bool decided = false;
    for (const RuleAction& action : actions) {
      if (action.kind == ActionKind::Log) continue;
      if (decided) {
        Warning(line, "only the first deny or redirect counts; \"" + DescribeAction(action) +
                          "\" is never used");
        break;
      }
      decided = true;
      if (action.kind == ActionKind::Redirect && action.argument.empty()) {
        Warning(line, "redirect has no target: the URL is replaced by an empty text");
      }
    }
  }

  void CheckAuditLog(const FilterConfig& config) {
    const int line = static_cast<int>(lineOf_.count("AuditLog") ? lineOf_["AuditLog"].back()->number : 0);
    if (config.auditLog.empty()) {
      Warning(line, "no AuditLog path: nothing is ever written to an audit log");
    } else if (config.auditLog.find(".log") == std::string::npos) {
      Warning(line, "AuditLog \"" + config.auditLog +
                        "\" has no \".log\" in it: earlier logs are not kept under numbered names "
                        "and no header is written");
    }
  }

  void PrintSummary(const FilterConfig& config) {
    out_ << label_ << "\n";
    out_ << "audit log:       " << (config.auditLog.empty() ? "(none)" : config.auditLog) << "\n";
    out_ << "Server header:   "
         << (config.serverType.empty() ? "(left as the server sends it)" : config.serverType) << "\n";
    out_ << "default actions: " << DescribeActions(config.defaultActions) << "\n";
  }

  std::string ActionsText(const std::vector<RuleAction>& own) const {
    if (own.empty()) return "default actions (" + DescribeActions(rules_->config.defaultActions) + ")";
    return DescribeActions(own);
  }

  void PrintRule(int line, const std::string& what, const std::string& actions, bool fires) {
    out_ << "  " << ++ruleNumber_ << ". " << what << "  -> " << actions
         << (line > 0 ? "  [line " + std::to_string(line) + "]" : "") << (fires ? "" : "  NEVER FIRES")
         << "\n";
  }

  void PrintRules(const FilterConfig& config) {
    out_ << "\nRules in the order a request meets them (the first that fires decides):\n";

    out_ << "server name:\n";
    using Kind = RuleSet::UrlRuleKind;
    for (std::size_t i = 0; i < config.bFilters.size(); ++i) {
      const BuiltinRule& rule = config.bFilters[i];
      if (rules_->bFilterKinds[i] != Kind::kRequestByIP) continue;
      const int line = NumberOf("BFilter", i);
      const bool first = rules_->requestByIpRule == static_cast<int>(i);
      const bool fires = first && rule.enabled;
      if (!first) {
        Error(line, "only the first RequestByIP line is used; this one never fires");
      } else if (!rule.enabled) {
        Error(line, "RequestByIP is not switched on (add enable:true); it never fires");
      }
      CheckBFilterTokens(i);
      if (fires) CheckActions(line, rule.actions, "RequestByIP");
      PrintRule(line, "RequestByIP: the request names the server by a numeric address",
                ActionsText(rule.actions), fires);
    }

    out_ << "client values (SFilter):\n";
    for (std::size_t i = 0; i < config.sFilters.size(); ++i) {
      const VariableRule& rule = config.sFilters[i];
      const int line = NumberOf("SFilter", i);
      bool fires = PatternUsable(line, rules_->sFilterPatterns[i], "SFilter");
      // The filter's own test of the name, so the tool cannot disagree with it.
      if (rules_->sFilterPositions[i] < 0) {
        Error(line, "SFilter variable \"" + rule.variable + "\" is not one of REMOTE_ADDR, REMOTE_HOST, "
                    "REQUEST_METHOD, HTTP_REFERER" + NameCaseHint(rule.variable, kVariables) +
                    "; it never fires");
        fires = false;
      }
      if (const ConfigLine* source = LineOf("SFilter", i)) CheckActionTokens(source, SplitTokens(source->value), 2);
      if (fires) CheckActions(line, rule.actions, "SFilter");
      PrintRule(line, rule.variable + " matches " + rule.pattern, ActionsText(rule.actions), fires);
    }

    out_ << "URL (BFilter, then CFilter):\n";
    for (std::size_t i = 0; i < config.bFilters.size(); ++i) {
      const BuiltinRule& rule = config.bFilters[i];
      const Kind kind = rules_->bFilterKinds[i];
      if (kind == Kind::kRequestByIP) continue;
      const int line = NumberOf("BFilter", i);
      CheckBFilterTokens(i);
      std::string what;
      bool fires = true;
      if (kind == Kind::kMetaChar) {
        what = "MetaChar:";
        for (std::size_t bit = 0; bit < kMetaCharCount; ++bit) {
          if ((static_cast<uint32_t>(rule.enableMask) >> bit) & 1u) what += std::string(" ") + kMetaCharShown[bit];
        }
        if (what == "MetaChar:") {
          Error(line, "MetaChar has no mask bit from 1 to 128 (add enable:N, 255 for all); it never fires");
          what += " (none)";
          fires = false;
        }
      } else if (kind == Kind::kMaxUrlLength) {
        if (rule.maxUrlLength < 0) {
          Error(line, "MaxURLLength limit is negative; it never fires");
          fires = false;
        } else if (rule.maxUrlLength == 0) {
          Warning(line, "MaxURLLength limit is 0: every request with a URL fires");
        }
        what = "MaxURLLength: the URL is longer than " + std::to_string(rule.maxUrlLength) + " bytes";
      } else if (FindSignature(rule.name)) {
        what = rule.name + " (built-in signature " + rule.pattern + ")";
        fires = PatternUsable(line, rules_->bFilterPatterns[i], "BFilter");
      } else {
        Error(line, "BFilter name \"" + rule.name + "\" is not a built-in signature" +
                        NameCaseHint(rule.name, NamesOfSignatures()) + "; it never fires");
        what = rule.name.empty() ? "(no name)" : rule.name;
        fires = false;
      }
      if (fires) CheckActions(line, rule.actions, "BFilter");
      PrintRule(line, what, ActionsText(rule.actions), fires);
    }
    for (std::size_t i = 0; i < config.cFilters.size(); ++i) {
      const FilterRule& rule = config.cFilters[i];
      const int line = NumberOf("CFilter", i);
      const bool fires = PatternUsable(line, rules_->cFilterPatterns[i], "CFilter");
      if (const ConfigLine* source = LineOf("CFilter", i)) CheckActionTokens(source, SplitTokens(source->value), 2);
      if (fires) CheckActions(line, rule.actions, "CFilter");
      PrintRule(line, rule.name + ": URL matches " + rule.pattern, ActionsText(rule.actions), fires);
    }

    out_ << "rewrite (requests no rule decided; the first that matches applies):\n";
    for (std::size_t i = 0; i < config.rewriteRules.size(); ++i) {
      const RewriteRule& rule = config.rewriteRules[i];
      const int line = NumberOf("Rewrite", i);
      const bool applies = PatternUsable(line, rules_->rewritePatterns[i], "Rewrite");
      if (rule.pattern == rule.replacement) {
        Warning(line, "Rewrite has no \",\": pattern and replacement are both \"" + rule.pattern + "\"");
      }
      out_ << "  " << ++ruleNumber_ << ". " << rule.pattern << "  => " << rule.replacement
           << (line > 0 ? "  [line " + std::to_string(line) + "]" : "") << (applies ? "" : "  NEVER APPLIES")
           << "\n";
    }
  }

  static std::vector<std::string> NamesOfSignatures() {
    std::vector<std::string> names;
    for (const BuiltInSignature& signature : SignatureCatalogue) names.push_back(signature.name);
    for (const char* special : kSpecialRules) names.push_back(special);
    return names;
  }

  // BFilter tokens that the grammar took in a way the operator may not have meant.
  void CheckBFilterTokens(std::size_t index) {
    const ConfigLine* line = LineOf("BFilter", index);
    if (!line) return;
    std::string name;
    for (const std::string& raw : SplitTokens(line->value)) {
      const KeyedToken token = SplitKeyedToken(TrimWhitespace(raw));
      std::vector<RuleAction> ignored;
      if (AppendActionToken(token, ignored) || token.key == "enable") {
        if (token.key == "enable" && token.rest != "true" && token.rest != "false" &&
            SameButForCase(TrimWhitespace(token.rest), std::vector<std::string>{"true", "false"}) != "") {
          Warning(line->number, "\"" + TrimWhitespace(raw) + "\" is read as a number (0): write enable:true or enable:false with no blank");
        }
        continue;
      }
      const std::string newName = token.key == "MaxURLLength" ? "MaxURLLength" : token.key;
      if (!name.empty() && newName != name) {
        Warning(line->number, "\"" + TrimWhitespace(raw) + "\" renames the rule from \"" + name + "\" to \"" +
                                  newName + "\"" + ActionCaseHint(token.key));
      }
      name = newName;
    }
  }

  bool PatternUsable(int line, const CompiledPatternPtr& pattern, const char* what) {
    if (pattern->valid()) {
      if (!pattern->linear()) {
        const bool rewrite = std::string(what) == "Rewrite";
        Note(line, std::string(what) + " pattern \"" + pattern->source() +
                       "\" is left to the backtracking engine (" + pattern->whyNotLinear() +
                       "): on some inputs it may give up; " +
                       (rewrite ? "the rewrite is then not made"
                                : "a rule that denies or redirects then acts as if it matched, one that only "
                                  "logs writes a line and the next rule decides") +
                       ", and the audit line says the pattern gave up");
      }
      return true;
    }
    if (pattern->source().empty()) {
      Error(line, std::string(what) + " has no pattern; it never " +
                      (std::string(what) == "Rewrite" ? "applies" : "fires"));
    } else {
      Error(line, std::string(what) + " pattern \"" + pattern->source() + "\" does not compile (" +
                      pattern->error() + "); it never " +
                      (std::string(what) == "Rewrite" ? "applies" : "fires"));
    }
    return false;
  }

  std::string label_;
  std::ostream& out_;
  std::shared_ptr<const RuleSet> rules_;
  std::map<std::string, std::vector<const ConfigLine*>> lineOf_;
  std::vector<std::pair<int, std::string>> findings_;
  int errors_ = 0;
  int warnings_ = 0;
  int ruleNumber_ = 0;
};

}  // namespace

int CheckConfigFile(const std::string& path, std::ostream& out) {
  const std::size_t slash = path.find_last_of("/\\");
  return Checker(slash == std::string::npos ? path : path.substr(slash + 1), out).Run(path);
}

int RunCheck(int argc, char** argv) {
  if (argc != 1) {
    std::cerr << "usage: vell check CONFIG\n";
    return 2;
  }
  return CheckConfigFile(argv[0], std::cout);
}

}  // namespace vell::tools
