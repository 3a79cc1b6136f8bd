// The config report: what the loader ignored or weakened and what will never fire, found by
// walking the lines once with one check per key, against the rules as start-up compiled them.
#include "inspect/config_report.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>

#include "config/rule_parsers.h"
#include "config/signatures.h"
#include "config/text.h"
#include "detect/deep_signatures.h"

namespace vell {

namespace {

namespace fs = std::filesystem;

const char* const kActionWords[] = {"deny", "redirect", "log"};
const char* const kSpecialRules[] = {"RequestByIP", "MetaChar", "MaxURLLength"};
const char* const kTruthWords[] = {"true", "false"};
// The longest piece of a line a message quotes.
constexpr std::size_t kShownLength = 60;

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

// Text from the file as a message quotes it: bytes outside printable ASCII as \xHH, so that a
// binary file gives readable messages; cut at kShownLength.
std::string Shown(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i == kShownLength) {
      out += "...";
      break;
    }
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c >= 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// " (names are case-sensitive; did you mean "X"?)" when name is candidate X in another case.
template <typename Range>
std::string NameCaseHint(const std::string& name, const Range& candidates) {
  const std::string known = SameButForCase(name, candidates);
  return known.empty() ? "" : " (names are case-sensitive; did you mean \"" + known + "\"?)";
}

// The number of single-letter edits (insert, delete, replace, swap two neighbours) from a to b.
std::size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// The hint for an unknown key: the known key it differs from only in letter case, or by a typo
// or two.
std::string KeyHint(const std::string& key) {
  const std::string known = SameButForCase(key, kConfigKeys);
  if (!known.empty()) return " (keys are case-sensitive; did you mean \"" + known + "\"?)";
  if (key.size() < 4 || key.size() > 32) return "";
  for (const char* candidate : kConfigKeys) {
    if (EditDistance(Lower(key), Lower(candidate)) <= 2) return std::string(" (did you mean \"") + candidate + "\"?)";
  }
  return "";
}

// " (action words are lower case: "deny")" when word is an action word in another case.
std::string ActionCaseHint(const std::string& word) {
  const std::string known = SameButForCase(word, kActionWords);
  return known.empty() ? "" : " (action words are lower case: \"" + known + "\")";
}

// True when text, blanks around it aside, is a decimal number in the 32-bit range: what the
// loader reads in full. Anything else it reads only up to the first other character, or as 0.
bool IsWholeNumber(const std::string& text) {
  const std::string trimmed = TrimWhitespace(text);
  if (trimmed.empty()) return false;
  std::size_t i = trimmed[0] == '+' || trimmed[0] == '-' ? 1 : 0;
  if (i == trimmed.size()) return false;
  long long value = 0;
  for (; i < trimmed.size(); ++i) {
    if (trimmed[i] < '0' || trimmed[i] > '9') return false;
    value = value * 10 + (trimmed[i] - '0');
    if (value > static_cast<long long>(INT32_MAX) + 1) return false;
  }
  return trimmed[0] == '-' || value <= INT32_MAX;
}

// "[:alpha:]" and the like: a class name that the pattern syntax does not know, so the bracket
// list holds its characters one by one. The first one found in pattern, or "".
std::string ClassNameInBrackets(const std::string& pattern) {
  for (std::size_t at = pattern.find("[:"); at != std::string::npos; at = pattern.find("[:", at + 1)) {
    std::size_t end = at + 2;
    while (end < pattern.size() && std::isalpha(static_cast<unsigned char>(pattern[end]))) ++end;
    if (end > at + 2 && pattern.compare(end, 2, ":]") == 0) return pattern.substr(at, end + 2 - at);
  }
  return "";
}

// A path of the other platform ("C:\logs\audit.log" read on Linux): its folder cannot be looked
// at here.
bool IsForeignPath(const std::string& path) {
  const bool drive = path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
                     path[1] == ':' && (path[2] == '\\' || path[2] == '/');
  const bool share = path.rfind("\\\\", 0) == 0;
  return (drive || share) && !fs::path(path).is_absolute();
}

class Reporter {
 public:
  Reporter(ConfigReport& report, const ConfigSource& source, const RuleSet& rules)
      : report_(report), source_(source), rules_(rules), config_(rules.config) {}

  void Run();

 private:
  using LineCheck = void (Reporter::*)(const ConfigLine& line, std::size_t index);
  // The checks of one key's lines; index counts that key's lines from 0, which for a rule key is
  // the rule's place in its list. A key of kConfigKeys without a row is accepted as it stands.
  struct KeyCheck {
    const char* key;
    LineCheck check;
  };
  static const KeyCheck kKeyChecks[];

  void Error(int line, std::string message) {
    report_.diagnostics.push_back({ConfigDiagnostic::Severity::kError, line, std::move(message)});
    ++report_.errors;
  }
  void Warning(int line, std::string message) {
    report_.diagnostics.push_back({ConfigDiagnostic::Severity::kWarning, line, std::move(message)});
    ++report_.warnings;
  }

  // What the loader cannot see: the encoding, lines it skipped, NUL bytes that cut lines.
  void CheckText() {
    if (source_.utf16) {
      // Every line is lost; the messages for each of them would only hide this one.
      Error(1, "the file is UTF-16 text, which the filter does not read (every line is lost); "
               "save it as UTF-8 without a byte-order mark, or as ANSI");
      return;
    }
    if (source_.byteOrderMark) {
      Error(1, "the file starts with a UTF-8 byte-order mark, which hides the first line's key; "
               "save the file without it");
    }
    for (const ConfigLine& line : source_.lines) {
      if (line.hasNul) Error(line.number, "a NUL byte cuts this line short; the rest is ignored");
      if (line.use != ConfigLine::Use::Unknown || (line.number == 1 && source_.byteOrderMark)) continue;
      if (line.text.find('=') == std::string::npos) {
        Error(line.number, Shown(line.key) + " is not a KEY=VALUE line; it is ignored");
        continue;
      }
      Error(line.number, "unknown key " + Shown(line.key) + KeyHint(line.key) + "; the line is ignored");
    }
  }

  std::vector<const ConfigLine*> LinesOf(const char* key) const {
    std::vector<const ConfigLine*> lines;
    for (const ConfigLine& line : source_.lines) {
      if (line.use == ConfigLine::Use::Key && line.key == key) lines.push_back(&line);
    }
    return lines;
  }

  // Keys whose last line wins: an earlier line is overridden.
  void CheckLastOneCounts(const ConfigLine& line, std::size_t index) {
    const std::vector<const ConfigLine*> lines = LinesOf(line.key.c_str());
    if (index + 1 < lines.size()) {
      Warning(line.number, line.key + " is set again on line " + std::to_string(lines.back()->number) +
                               "; only the last " + line.key + " line counts");
    }
  }

  void CheckDefaultAction(const ConfigLine& line, std::size_t) {
    CheckActionTokens(line, SplitTokens(line.value), 0);
  }

  // Tokens from index first on are meant as actions: the ones the loader skipped are errors.
  void CheckActionTokens(const ConfigLine& line, const std::vector<std::string>& tokens,
                         std::size_t first) {
    for (std::size_t i = first; i < tokens.size(); ++i) {
      const std::string token = TrimWhitespace(tokens[i]);
      const KeyedToken keyed = SplitKeyedToken(token);
      if (IsActionToken(line, token, keyed)) continue;
      Error(line.number, Shown(token) + " is not an action" + ActionCaseHint(keyed.key) + "; it is ignored");
    }
  }

  // Whether the token is an action; a redirect without a target is said on the way.
  bool IsActionToken(const ConfigLine& line, const std::string& token, const KeyedToken& keyed) {
    std::vector<RuleAction> action;
    if (!AppendActionToken(keyed, action)) return false;
    if (keyed.key == "redirect" && token.find(':') == std::string::npos) {
      Warning(line.number, "redirect has no target: the URL is replaced by the text \"redirect\" "
                           "(write redirect:/path)");
    } else if (keyed.key == "redirect" && keyed.rest.empty()) {
      Warning(line.number, "redirect has no target: the URL is replaced by an empty text");
    }
    return true;
  }

  // The actions a hit of the rule takes: its own, or the default actions.
  void CheckChosenActions(int line, const std::vector<RuleAction>& own, const char* what) {
    const std::vector<RuleAction>& actions = own.empty() ? config_.defaultActions : own;
    if (actions.empty()) {
      Warning(line, std::string(what) + " has no actions and there is no DefaultAction: a hit does nothing");
      return;
    }
    bool decided = false;
    for (const RuleAction& action : actions) {
      if (action.kind == ActionKind::Log) continue;
      if (decided) {
        Warning(line, std::string("only the first deny or redirect counts; \"") +
                          (action.kind == ActionKind::Deny ? "deny" : "redirect:" + action.argument) +
                          "\" is never used");
        break;
      }
      decided = true;
    }
  }

  // Whether the pattern can match; what keeps it from matching is an error, what makes it match
  // other than meant a warning.
  bool CheckPattern(int line, const CompiledPattern& pattern, const char* what) {
    const std::string never = std::string(what) == "Rewrite" ? "applies" : "fires";
    if (!pattern.valid()) {
      if (pattern.source().empty()) {
        Error(line, std::string(what) + " has no pattern; it never " + never);
      } else {
        Error(line, std::string(what) + " pattern " + Shown(pattern.source()) + " does not compile (" +
                        pattern.error() + "); it never " + never);
      }
      return false;
    }
    const std::string className = ClassNameInBrackets(pattern.source());
    if (!className.empty()) {
      Warning(line, std::string(what) + " pattern " + Shown(pattern.source()) + ": \"" + className +
                        "\" is not a class here; the list holds its characters one by one (write "
                        "a-z, 0-9, \\s, \\d or \\w)");
    }
    if (!pattern.linear()) {
      const bool rewrite = std::string(what) == "Rewrite";
      Warning(line, std::string(what) + " pattern " + Shown(pattern.source()) +
                        " is left to the backtracking engine (" + pattern.whyNotLinear() +
                        "): on some inputs it may give up; " +
                        (rewrite ? "the rewrite is then not made"
                                 : "a rule that denies or redirects then acts as if it matched, one "
                                   "that only logs writes a line and the next rule decides") +
                        ", and the audit line says the pattern gave up");
    }
    return true;
  }

  void CheckBFilter(const ConfigLine& line, std::size_t index) {
    using Kind = RuleSet::UrlRuleKind;
    const BuiltinRule& rule = config_.bFilters[index];
    const Kind kind = rules_.bFilterKinds[index];
    CheckBFilterTokens(line, kind);
    bool fires = true;
    switch (kind) {
      case Kind::kRequestByIP:
        if (rules_.requestByIpRule != static_cast<int>(index)) {
          Error(line.number, "only the first RequestByIP line is used; this one never fires");
          fires = false;
        } else if (!rule.enabled) {
          Error(line.number, "RequestByIP is not switched on (add enable:true); it never fires");
          fires = false;
        }
        break;
      case Kind::kMetaChar: {
        const auto mask = static_cast<uint32_t>(rule.enableMask);
        if ((mask & 0xFFu) == 0) {
          Error(line.number, "MetaChar has no mask bit from 1 to 128 (add enable:N, 255 for all); it never fires");
          fires = false;
        } else if ((mask & ~0xFFu) != 0) {
          Warning(line.number, "MetaChar bits above 128 switch on nothing; only 1 to 128 name a pattern");
        }
        break;
      }
      case Kind::kMaxUrlLength:
        if (rule.maxUrlLength < 0) {
          Error(line.number, "MaxURLLength limit is negative; it never fires");
          fires = false;
        } else if (rule.maxUrlLength == 0) {
          Warning(line.number, "MaxURLLength limit is 0: every request with a URL fires");
        }
        break;
      case Kind::kSignature:
        if (FindSignature(rule.name)) {
          fires = CheckPattern(line.number, *rules_.bFilterPatterns[index], "BFilter");
        } else {
          std::vector<std::string> names;
          for (const BuiltInSignature& signature : SignatureCatalogue) names.push_back(signature.name);
          names.insert(names.end(), std::begin(kSpecialRules), std::end(kSpecialRules));
          Error(line.number, "BFilter name " + Shown(rule.name) + " is not a built-in signature" +
                                 NameCaseHint(rule.name, names) + "; it never fires");
          fires = false;
        }
        break;
    }
    if (fires) CheckChosenActions(line.number, rule.actions, "BFilter");
    report_.bFilters[index] = {line.number, fires};
  }

  // BFilter tokens that the grammar took in a way the operator may not have meant.
  void CheckBFilterTokens(const ConfigLine& line, RuleSet::UrlRuleKind kind) {
    std::string name;
    for (const std::string& raw : SplitTokens(line.value)) {
      const std::string token = TrimWhitespace(raw);
      const KeyedToken keyed = SplitKeyedToken(token);
      if (IsActionToken(line, token, keyed)) continue;
      if (keyed.key == "enable") {
        CheckEnableToken(line, token, keyed, kind);
        continue;
      }
      if (keyed.key == "MaxURLLength" && !IsWholeNumber(keyed.rest)) {
        Error(line.number, Shown(token) + " is not a whole number; the limit is read as " +
                               std::to_string(ParseNumber(TrimWhitespace(keyed.rest))));
      }
      if (!name.empty() && keyed.key != name) {
        Warning(line.number, Shown(token) + " renames the rule from \"" + name + "\" to " +
                                 Shown(keyed.key) + ActionCaseHint(keyed.key));
      }
      name = keyed.key;
    }
  }

  void CheckEnableToken(const ConfigLine& line, const std::string& token, const KeyedToken& keyed,
                        RuleSet::UrlRuleKind kind) {
    using Kind = RuleSet::UrlRuleKind;
    const bool truth = keyed.rest == "true" || keyed.rest == "false";
    if (!truth && !IsWholeNumber(keyed.rest)) {
      const bool meantTruth = !SameButForCase(TrimWhitespace(keyed.rest), kTruthWords).empty();
      Error(line.number, Shown(token) + " is read as the number " +
                             std::to_string(ParseNumber(keyed.rest)) +
                             (meantTruth ? " (write enable:true or enable:false, lower case, no blank)"
                                         : " (enable takes true, false or a number)"));
    } else if (kind == Kind::kSignature) {
      Warning(line.number, Shown(token) + " has no effect on a signature rule, which fires whatever "
                           "it says (remove the line to switch the rule off)");
    }
  }

  void CheckCFilter(const ConfigLine& line, std::size_t index) {
    const FilterRule& rule = config_.cFilters[index];
    const bool fires = CheckPattern(line.number, *rules_.cFilterPatterns[index], "CFilter");
    CheckActionTokens(line, SplitTokens(line.value), 2);
    if (fires) CheckChosenActions(line.number, rule.actions, "CFilter");
    report_.cFilters[index] = {line.number, fires};
  }

  void CheckSFilter(const ConfigLine& line, std::size_t index) {
    const VariableRule& rule = config_.sFilters[index];
    bool fires = CheckPattern(line.number, *rules_.sFilterPatterns[index], "SFilter");
    // The filter's own test of the name, so the report cannot disagree with it.
    if (rules_.sFilterPositions[index] < 0) {
      Error(line.number, "SFilter variable " + Shown(rule.variable) +
                             " is not one of REMOTE_ADDR, REMOTE_HOST, REQUEST_METHOD, HTTP_REFERER" +
                             NameCaseHint(rule.variable, kClientVariables) + "; it never fires");
      fires = false;
    }
    CheckActionTokens(line, SplitTokens(line.value), 2);
    if (fires) CheckChosenActions(line.number, rule.actions, "SFilter");
    report_.sFilters[index] = {line.number, fires};
  }

  void CheckRewrite(const ConfigLine& line, std::size_t index) {
    const RewriteRule& rule = config_.rewriteRules[index];
    const bool applies = CheckPattern(line.number, *rules_.rewritePatterns[index], "Rewrite");
    if (line.value.find(',') == std::string::npos) {
      Warning(line.number, "Rewrite has no \",\": pattern and replacement are both " + Shown(rule.pattern));
    }
    report_.rewrites[index] = {line.number, applies};
  }

  // The audit log's own keys: a value the loader does not accept leaves the line ignored.
  void CheckAuditLogValue(const ConfigLine& line, std::size_t) {
    struct KeyValues {
      const char* key;
      bool (*valid)(const std::string&);
      const char* accepted;
    };
    static const KeyValues kKeys[] = {
        {"AuditLogFormat", [](const std::string& v) { return ParseAuditLogFormat(v).has_value(); },
         "\"w3c\" or \"json\""},
        {"AuditLogRotate", [](const std::string& v) { return ParseAuditLogRotate(v).has_value(); },
         "\"none\", or \"load\" and \"daily\" separated by commas"},
        {"AuditLogMaxSize", [](const std::string& v) { return ParseAuditLogMaxSize(v).has_value(); },
         "a size from 1 byte to 1024G, such as 100MB"},
        {"AuditLogKeep", [](const std::string& v) { return ParseAuditLogKeep(v).has_value(); },
         "a number from 1 to 9999999"},
    };
    for (const KeyValues& key : kKeys) {
      if (line.key != key.key || key.valid(line.value)) continue;
      Error(line.number, std::string(key.key) + " " + Shown(line.value) + " is not " + key.accepted +
                             "; the line is ignored");
    }
  }

  void CheckDFilter(const ConfigLine& line, std::size_t index) {
    const FilterRule& rule = config_.dFilters[index];
    const bool fires = rules_.dFilterRules[index].has_value();
    if (!fires) {
      std::vector<std::string> names;
      for (std::size_t i = 0; i < kDeepRuleCount; ++i) names.push_back(DeepRuleName(static_cast<DeepRule>(i)));
      std::string list;
      for (const std::string& name : names) list += (list.empty() ? "" : ", ") + name;
      Error(line.number, "DFilter name " + Shown(rule.name) + " is not a deep rule (" + list + ")" +
                             NameCaseHint(rule.name, names) + "; it never fires");
    }
    CheckActionTokens(line, SplitTokens(line.value), 1);
    if (fires) CheckChosenActions(line.number, rule.actions, "DFilter");
    report_.dFilters[index] = {line.number, fires};
  }

  void CheckDeepInspection(const ConfigLine& line, std::size_t index) {
    CheckLastOneCounts(line, index);
    if (line.value == "on" || line.value == "off") return;
    Error(line.number, "DeepInspection " + Shown(line.value) + " is neither on nor off" +
                           (Lower(line.value) == "on" || Lower(line.value) == "off"
                                ? " (the words are lower case)"
                                : "") +
                           "; the line is ignored");
  }

  void CheckMode(const ConfigLine& line, std::size_t index) {
    CheckLastOneCounts(line, index);
    if (line.value == kModeEnforce || line.value == kModeDetectionOnly) return;
    const std::string known = SameButForCase(line.value, std::vector<std::string>{kModeEnforce, kModeDetectionOnly});
    Error(line.number, "Mode " + Shown(line.value) + " is neither Enforce nor DetectionOnly" +
                           (known.empty() ? "" : " (the words are case-sensitive; did you mean \"" + known + "\"?)") +
                           ": the filter enforces");
  }

  // A rule name of an Exclude line: a rule's name, its list and number, or "*".
  bool NamesARule(const std::string& name) const {
    if (name == "*") return true;
    const std::size_t sizes[] = {config_.bFilters.size(), config_.cFilters.size(), config_.sFilters.size(),
                                 config_.dFilters.size()};
    for (std::size_t list = 0; list < std::size(sizes); ++list) {
      for (std::size_t i = 0; i < sizes[list]; ++i) {
        const RuleRef ref{static_cast<RuleList>(list), i};
        if (name == RuleName(rules_, ref) ||
            name == std::string(RuleListName(ref.list)) + "#" + std::to_string(i + 1)) {
          return true;
        }
      }
    }
    return false;
  }

  void CheckExclude(const ConfigLine& line, std::size_t index) {
    const Exclusion& exclusion = config_.exclusions[index];
    const CompiledExclusion& compiled = rules_.exclusions[index];
    bool applies = compiled.usable;
    for (const std::string& token : exclusion.unknownTokens) {
      Error(line.number, "Exclude token " + Shown(token) +
                             " is not rules:, url:, client:, host: or method: with a value; the line "
                             "never applies");
    }
    if (exclusion.rules.empty()) Error(line.number, "Exclude names no rules (add rules:NAME ...); it never applies");
    std::vector<std::string> ruleNames;
    for (const BuiltInSignature& signature : SignatureCatalogue) ruleNames.push_back(signature.name);
    ruleNames.insert(ruleNames.end(), std::begin(kSpecialRules), std::end(kSpecialRules));
    for (const std::string& name : exclusion.rules) {
      if (!NamesARule(name)) {
        Warning(line.number, "Exclude names " + Shown(name) + ", which is no rule of this file" +
                                 NameCaseHint(name, ruleNames));
      }
    }
    if (exclusion.hasUrl && !CheckPattern(line.number, *compiled.url, "Exclude")) applies = false;
    for (const std::string& client : exclusion.clients) {
      if (!ParseAddressRange(client)) {
        Error(line.number, "Exclude client " + Shown(client) +
                               " is not an IPv4 or IPv6 address or ADDRESS/BITS range; it matches nothing");
      }
    }
    if (!exclusion.clients.empty() && compiled.clients.empty()) applies = false;
    const bool everyUrl =
        !exclusion.hasUrl || (compiled.url->Search("") && compiled.url->Search("/x?y=1"));
    if (applies && everyUrl && exclusion.clients.empty() && exclusion.hosts.empty() &&
        exclusion.methods.empty()) {
      std::string names;
      for (const std::string& name : exclusion.rules) names += (names.empty() ? "" : " ") + name;
      Warning(line.number, "Exclude has no condition that narrows it: it takes " +
                               (compiled.allRules ? std::string("every rule") : "\"" + names + "\"") +
                               " away from every request");
    }
    report_.exclusions[index] = {line.number, applies};
  }

  // The audit log as the last AuditLog line leaves it.
  void CheckAuditLogPath() {
    const std::vector<const ConfigLine*> lines = LinesOf("AuditLog");
    const int line = lines.empty() ? 0 : lines.back()->number;
    const std::string& path = config_.auditLog;
    if (path.empty()) {
      Warning(line, "no AuditLog path: nothing is ever written to an audit log");
      return;
    }
    if (path.find(".log") == std::string::npos) {
      Warning(line, "AuditLog " + Shown(path) +
                        " has no \".log\" in it: earlier logs are not kept under numbered names "
                        "and no header is written");
    }
    const fs::path folder = fs::path(path).parent_path();
    if (folder.empty() || IsForeignPath(path)) return;
    std::error_code ignored;
    if (!fs::is_directory(folder, ignored)) {
      Error(line, "the AuditLog folder " + Shown(folder.string()) + " does not exist" +
                      (folder.is_absolute() ? "" : " (relative to the current folder)") +
                      "; no audit line can be written");
    }
  }

  ConfigReport& report_;
  const ConfigSource& source_;
  const RuleSet& rules_;
  const FilterConfig& config_;
};

const Reporter::KeyCheck Reporter::kKeyChecks[] = {
    {"AuditLog", &Reporter::CheckLastOneCounts},
    {"ServerType", &Reporter::CheckLastOneCounts},
    {"Rewrite", &Reporter::CheckRewrite},
    {"DefaultAction", &Reporter::CheckDefaultAction},
    {"BFilter", &Reporter::CheckBFilter},
    {"CFilter", &Reporter::CheckCFilter},
    {"SFilter", &Reporter::CheckSFilter},
    {"AuditLogFormat", &Reporter::CheckAuditLogValue},
    {"AuditLogRotate", &Reporter::CheckAuditLogValue},
    {"AuditLogMaxSize", &Reporter::CheckAuditLogValue},
    {"AuditLogKeep", &Reporter::CheckAuditLogValue},
    {"DFilter", &Reporter::CheckDFilter},
    {"DeepInspection", &Reporter::CheckDeepInspection},
    {"Mode", &Reporter::CheckMode},
    {"Exclude", &Reporter::CheckExclude},
};

void Reporter::Run() {
  report_.bFilters.assign(config_.bFilters.size(), {});
  report_.cFilters.assign(config_.cFilters.size(), {});
  report_.sFilters.assign(config_.sFilters.size(), {});
  report_.rewrites.assign(config_.rewriteRules.size(), {});
  report_.exclusions.assign(config_.exclusions.size(), {});
  report_.dFilters.assign(config_.dFilters.size(), {});
  report_.rulesInForce = CountRulesInForce(rules_);
  report_.read = source_.opened && source_.error.empty();
  if (!report_.read) {
    report_.readError = source_.error.empty() ? "cannot be read" : source_.error;
    Error(0, report_.readError);
  } else {
    CheckText();
    std::map<std::string, std::size_t> seen;
    for (const ConfigLine& line : source_.lines) {
      if (line.use != ConfigLine::Use::Key) continue;
      const std::size_t index = seen[line.key]++;
      for (const KeyCheck& row : kKeyChecks) {
        if (line.key == row.key && row.check) (this->*row.check)(line, index);
      }
    }
    CheckAuditLogPath();
    if (report_.rulesInForce == 0) Error(0, "no rule in force: the filter checks nothing");
  }
  std::stable_sort(report_.diagnostics.begin(), report_.diagnostics.end(),
                   [](const ConfigDiagnostic& a, const ConfigDiagnostic& b) { return a.line < b.line; });
}

}  // namespace

std::string ConfigReport::Format(const ConfigDiagnostic& diagnostic) const {
  return file + (diagnostic.line > 0 ? ":" + std::to_string(diagnostic.line) : "") +
         (diagnostic.severity == ConfigDiagnostic::Severity::kError ? ": error: " : ": warning: ") +
         diagnostic.message;
}

std::string ConfigReport::FirstError() const {
  for (const ConfigDiagnostic& diagnostic : diagnostics) {
    if (diagnostic.severity != ConfigDiagnostic::Severity::kError) continue;
    return file + (diagnostic.line > 0 ? ":" + std::to_string(diagnostic.line) : "") + ": " +
           diagnostic.message;
  }
  return "";
}

ConfigReport ReportConfig(const std::string& file, const ConfigSource& source, const RuleSet& rules) {
  ConfigReport report;
  report.file = file;
  Reporter(report, source, rules).Run();
  return report;
}

}  // namespace vell
