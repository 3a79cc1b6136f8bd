// vell explain: serves one request to a private copy of the filter module through its trace
// export and prints what the request path did: each check in order, each rule tested, the rule
// that fired with the span its pattern matched and the config line it comes from, exclusions, the
// actions, the rewrite and the verdict.
#include <algorithm>
#include <iostream>
#include <sstream>

#include "config/filter_config.h"
#include "config/signatures.h"
#include "detect/deep_signatures.h"
#include "tools/access_log.h"
#include "tools/arguments.h"
#include "tools/commands.h"
#include "tools/explain.h"
#include "tools/rule_labels.h"
#include "tools/config_copy.h"
#include "tools/traced_module.h"

namespace vell::tools {

namespace {

constexpr std::size_t kLongestUnderlined = 160;

std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string VerdictText(uint32_t verdict) {
  switch (verdict) {
    case kVerdictDeny: return "deny (0x8000004): the server ends the request with an error";
    case kVerdictHandled: return "URL replaced (0x8000003)";
    case kVerdictNext: return "go on (0x8000002)";
  }
  return "?";
}

std::string ActionsText(const std::vector<RuleAction>& actions) {
  std::string out;
  for (const RuleAction& action : actions) {
    out += out.empty() ? "" : ", ";
    switch (action.kind) {
      case ActionKind::Deny: out += "deny"; break;
      case ActionKind::Redirect: out += "redirect:" + action.argument; break;
      case ActionKind::Log: out += "log"; break;
    }
  }
  return out.empty() ? "none" : out;
}

class Explainer {
 public:
  Explainer(const FilterConfig& config, const ConfigSource& source, std::string configName,
            std::ostream& out)
      : config_(config), source_(source), configName_(std::move(configName)), out_(out) {}

  void Explain(const RequestValues& request, const std::string& referer, const TracedRequest& traced) {
    out_ << "request: " << request.method << " " << Quoted(request.url) << "\n"
         << "  SERVER_NAME " << Quoted(request.serverName) << ", REMOTE_ADDR "
         << Quoted(request.remoteAddr) << ", REMOTE_HOST " << Quoted(request.remoteHost)
         << ", referer " << Quoted(referer) << "\n";
    if (config_.mode == FilterMode::DetectionOnly) {
      out_ << "  detection-only mode (" << Where(LineOfKey("Mode"))
           << "): a deny or redirect is reported and logged, not carried out\n";
    }
    request_ = &request;
    std::vector<uint32_t> started;
    for (const TracedEvent& event : traced.events) {
      switch (event.type) {
        case VELL_EVENT_CHECK:
          started.push_back(event.check);
          StartCheck(started.size(), event);
          break;
        case VELL_EVENT_RULE: ExplainRule(event); break;
        case VELL_EVENT_EXCLUDED: ExplainExcluded(event); break;
        case VELL_EVENT_ACTIONS: ExplainActions(event); break;
        case VELL_EVENT_REWRITE:
          out_ << "      rewrites the URL to " << Quoted(event.text) << " (0x8000003)\n";
          break;
        default: break;
      }
    }
    for (uint32_t check : {VELL_CHECK_REQUEST_BY_IP, VELL_CHECK_CLIENT, VELL_CHECK_URL,
                           VELL_CHECK_DEEP, VELL_CHECK_REWRITE}) {
      if (std::find(started.begin(), started.end(), check) != started.end()) continue;
      if (check == VELL_CHECK_DEEP && !config_.deepInspection && config_.dFilters.empty()) continue;
      started.push_back(check);
      out_ << "\n" << started.size() << ". " << CheckName(check) << " " << CheckSubjectText(check)
           << ": not reached, an earlier check decided\n";
    }

    out_ << "\nverdict: ";
    if (!traced.enforced) {
      out_ << "held back (detection-only): the rules would "
           << (traced.decided == kVerdictDeny ? "deny" : "redirect")
           << " it; the request goes on unchanged (0x8000002)";
    } else {
      out_ << VerdictText(traced.decided);
      if (traced.decided == kVerdictHandled) {
        out_ << (traced.rewritten ? ", rewritten to " : ", redirected to ") << Quoted(traced.newUrl);
      }
    }
    out_ << "\naudit lines: " << traced.LogLines() << "\n";
  }

 private:
  std::string Where(int line) const {
    return line > 0 ? configName_ + ":" + std::to_string(line) : configName_;
  }

  int LineOfKey(const char* key) const {
    int found = 0;
    for (const ConfigLine& line : source_.lines) {
      if (line.use == ConfigLine::Use::Key && line.key == key) found = line.number;
    }
    return found;
  }

  static std::string CheckSubjectText(uint32_t check) {
    switch (check) {
      case VELL_CHECK_REQUEST_BY_IP: return "on the server name";
      case VELL_CHECK_CLIENT: return "(SFilter) on the client values";
      case VELL_CHECK_URL: return "(BFilter, then CFilter) on the URL";
      case VELL_CHECK_DEEP:
        return "(signatures on the decoded forms, then DFilter) on the decoded URL and its arguments";
      case VELL_CHECK_REWRITE: return "on the URL";
    }
    return "";
  }

  void StartCheck(std::size_t number, const TracedEvent& event) {
    out_ << "\n" << number << ". " << CheckName(event.check) << " " << CheckSubjectText(event.check);
    if (event.check == VELL_CHECK_REQUEST_BY_IP) out_ << " " << Quoted(event.subject);
    out_ << "\n";
    if (event.check == VELL_CHECK_REQUEST_BY_IP && !HasRequestByIP()) {
      out_ << "    (no RequestByIP rule)\n";
    }
    if (event.check == VELL_CHECK_CLIENT && config_.sFilters.empty()) out_ << "    (no rules)\n";
    if (event.check == VELL_CHECK_URL && config_.bFilters.empty() && config_.cFilters.empty()) {
      out_ << "    (no rules)\n";
    }
    if (event.check == VELL_CHECK_REWRITE && config_.rewriteRules.empty()) out_ << "    (no rules)\n";
  }

  bool HasRequestByIP() const {
    for (const BuiltinRule& rule : config_.bFilters) {
      if (rule.name == "RequestByIP") return true;
    }
    return false;
  }

  // The rule's label, its pattern for URL rules, and the config line it comes from.
  std::string Label(const TracedEvent& event) const {
    std::string out = RuleLabel(config_, event.ruleList, event.ruleIndex);
    const std::string pattern = RulePattern(config_, event.ruleList, event.ruleIndex);
    if (!pattern.empty() &&
        (event.ruleList == VELL_LIST_BFILTER || event.ruleList == VELL_LIST_CFILTER)) {
      out += " " + Quoted(pattern);
    }
    return out;
  }

  std::string LineNote(const TracedEvent& event) const {
    return "(" + Where(RuleLine(source_, event.ruleList, event.ruleIndex)) + ")";
  }

  const BuiltinRule* BFilter(const TracedEvent& event) const {
    if (event.ruleList != VELL_LIST_BFILTER || event.ruleIndex >= config_.bFilters.size()) {
      return nullptr;
    }
    return &config_.bFilters[event.ruleIndex];
  }

  std::string NoMatchNote(const TracedEvent& event) const {
    if (event.ruleList == VELL_LIST_SFILTER && event.ruleIndex < config_.sFilters.size()) {
      const std::string& variable = config_.sFilters[event.ruleIndex].variable;
      if (variable != "REMOTE_ADDR" && variable != "REMOTE_HOST" && variable != "REQUEST_METHOD" &&
          variable != "HTTP_REFERER") {
        return " (unknown variable " + Quoted(variable) + ", never fires)";
      }
    }
    if (const BuiltinRule* rule = BFilter(event)) {
      if (rule->name == "MaxURLLength") {
        return " (the URL is " + std::to_string(event.subject.size()) + " bytes, the limit " +
               std::to_string(static_cast<uint32_t>(rule->maxUrlLength)) + ")";
      }
      if (rule->name == "MetaChar") return " (mask " + std::to_string(rule->enableMask) + ")";
      if (rule->name == "RequestByIP") {
        return rule->enabled ? " (the server name is not a numeric address)"
                             : " (not switched on: no enable:true)";
      }
    }
    if (event.ruleList == VELL_LIST_DFILTER) {
      const std::string& name = config_.dFilters.at(event.ruleIndex).name;
      if (!FindDeepRule(name)) return " (" + Quoted(name) + " is no deep rule: never fires)";
      return "";
    }
    if (event.check == VELL_CHECK_DEEP) return " (in no decoded form)";
    if (RulePattern(config_, event.ruleList, event.ruleIndex).empty() &&
        event.ruleList != VELL_LIST_BFILTER) {
      return " (no pattern: never fires)";
    }
    return "";
  }

  // Where and why the rule matched: the span, the metacharacter bits, the length over the limit.
  std::string MatchNote(const TracedEvent& event) const {
    std::string out;
    if (event.metaCharBits != 0) {
      out += " (metacharacter bits found:";
      for (std::size_t bit = 0; bit < kMetaCharCount; ++bit) {
        if ((event.metaCharBits >> bit) & 1u) {
          out += " " + std::to_string(bit) + " " + Quoted(MetaCharPatterns[bit]) +
                 " (mask value " + std::to_string(1u << bit) + ")";
        }
      }
      out += ")";
      if (const BuiltinRule* rule = BFilter(event)) {
        const uint32_t kept = static_cast<uint32_t>(rule->enableMask) & ~event.metaCharBits & 0xFFu;
        out += " (to let it through, write enable:" + std::to_string(kept) + " on " +
               Where(RuleLine(source_, event.ruleList, event.ruleIndex)) +
               ", or take MetaChar away from such URLs with an Exclude line)";
      }
    }
    if (const BuiltinRule* rule = BFilter(event); rule && rule->name == "MaxURLLength") {
      out += ": the URL is " + std::to_string(event.subject.size()) + " bytes, over the limit " +
             std::to_string(static_cast<uint32_t>(rule->maxUrlLength)) +
             " (to let it through, raise MaxURLLength on " +
             Where(RuleLine(source_, event.ruleList, event.ruleIndex)) + ")";
    }
    if (!event.form.empty()) out += " in " + event.form;
    if (event.span) {
      const auto [begin, end] = *event.span;
      out += " at [" + std::to_string(begin) + ", " + std::to_string(end) + ") " +
             Quoted(std::string_view(event.subject).substr(begin, end - begin));
    }
    if (event.gaveUp) out += " (the pattern engine gave up on this text: counted as a match)";
    return out;
  }

  void Underline(const TracedEvent& event) {
    if (!event.span) return;
    const std::string& subject = event.subject;
    const auto [begin, end] = *event.span;
    if (subject.size() > kLongestUnderlined || Quoted(subject).size() != subject.size() + 2) return;
    out_ << "          " << subject << "\n"
         << "          " << std::string(begin, ' ')
         << std::string(std::max<std::size_t>(end - begin, 1), '^') << "\n";
  }

  void ExplainRule(const TracedEvent& event) {
    out_ << "    " << Label(event);
    if (!event.fired && event.gaveUp) {
      out_ << ": MATCH, but the pattern engine gave up working out the replacement: the next rule "
              "is tried\n";
      return;
    }
    if (!event.fired) {
      out_ << ": no match" << NoMatchNote(event) << "\n";
      return;
    }
    out_ << ": MATCH" << MatchNote(event) << " " << LineNote(event) << "\n";
    Underline(event);
  }

  void ExplainExcluded(const TracedEvent& event) {
    out_ << "    " << Label(event) << ": MATCH" << MatchNote(event) << "\n"
         << "      but Exclude line " << event.exclusion + 1 << " ("
         << Where(ExclusionLine(source_, event.exclusion))
         << ") takes this rule away from this request: the check goes on\n";
  }

  void ExplainActions(const TracedEvent& event) {
    const std::vector<RuleAction>* own = nullptr;
    if (const BuiltinRule* rule = BFilter(event)) own = &rule->actions;
    if (event.ruleList == VELL_LIST_CFILTER && event.ruleIndex < config_.cFilters.size()) {
      own = &config_.cFilters[event.ruleIndex].actions;
    }
    if (event.ruleList == VELL_LIST_SFILTER && event.ruleIndex < config_.sFilters.size()) {
      own = &config_.sFilters[event.ruleIndex].actions;
    }
    if (event.ruleList == VELL_LIST_DFILTER && event.ruleIndex < config_.dFilters.size()) {
      own = &config_.dFilters[event.ruleIndex].actions;
    }
    const bool ownActions = own != nullptr && !own->empty();
    out_ << "      actions (" << (ownActions ? "its own" : "the default actions") << "): "
         << ActionsText(ownActions ? *own : config_.defaultActions) << "\n";
    if (event.logLines > 0) {
      out_ << "      writes " << event.logLines << " audit line" << (event.logLines > 1 ? "s" : "")
           << ": TIME, " << event.ruleName << ", " << request_->remoteAddr << ", " << request_->url;
      if (config_.mode == FilterMode::DetectionOnly) {
        out_ << ", "
             << (event.verdict == kVerdictDeny      ? "would-deny"
                 : event.verdict == kVerdictHandled ? "would-redirect"
                                                    : "log");
      }
      out_ << "\n";
    }
    if (event.verdict == kVerdictNext) {
      out_ << "      neither denies nor redirects: this check ends here and the pipeline goes on\n";
    } else if (!event.enforced) {
      out_ << "      would " << (event.verdict == kVerdictDeny ? "deny" : "redirect to " + Quoted(event.text))
           << ", held back by detection-only mode: the request path ends here\n";
    } else {
      out_ << "      verdict: " << VerdictText(event.verdict);
      if (event.verdict == kVerdictHandled) out_ << ", URL set to " << Quoted(event.text);
      out_ << "\n";
    }
  }

  const FilterConfig& config_;
  const ConfigSource& source_;
  std::string configName_;
  std::ostream& out_;
  const RequestValues* request_ = nullptr;
};

}  // namespace

int ExplainRequests(const ExplainOptions& options, std::ostream& out, std::ostream& err) {
  FilterConfig config;
  ConfigSource source;
  if (!LoadConfigFile(options.config, &config, err, &source)) return kExitTrouble;
  std::unique_ptr<TracedModule> module;
  try {
    module = std::make_unique<TracedModule>(
        options.module.empty() ? DefaultModulePath() : options.module,
        ConfigWithAuditLog(options.config, ""));
  } catch (const std::exception& e) {
    err << "vell explain: " << e.what() << " (--module PATH names the filter module)\n";
    return kExitTrouble;
  }
  Explainer explainer(config, source, options.config, out);
  bool first = true;
  for (const std::string& url : options.urls) {
    LogRequest parsed;
    RequestValues request;
    request.url = url;
    request.serverName = options.host;
    if (ParseUrlListLine(url, &parsed)) {
      request.url = std::string(parsed.url);
      if (parsed.hasHost && !options.hostGiven) request.serverName = std::string(parsed.host);
    }
    request.method = options.method;
    request.remoteAddr = options.client;
    request.remoteHost = options.client;
    if (!options.referer.empty()) request.allHttp = "HTTP_REFERER:" + options.referer + "\n";
    if (!first) out << "\n" << std::string(72, '-') << "\n";
    first = false;
    explainer.Explain(request, options.referer, module->Serve(request));
  }
  return 0;
}

const CommandSyntax kExplainCommand = {
    "explain",
    {"CONFIG", "URL..."},
    "Shows how the filter with CONFIG decides each request: every check in order, every rule\n"
    "tried, the rule that fired and the part of the URL it matched, its actions, the verdict and\n"
    "the rewrite. A URL is a path (\"/a?b\"), \"METHOD /path\" or an absolute URL, whose host\n"
    "becomes the server name; - reads URLs from standard input, one a line.\n",
    {{"--method", "METHOD", "REQUEST_METHOD (default GET)"},
     {"--client", "ADDR", "REMOTE_ADDR and REMOTE_HOST (default 127.0.0.1)"},
     {"--referer", "URL", "the Referer header (default none)"},
     {"--host", "NAME", "SERVER_NAME, over an absolute URL's host (default localhost)"},
     {"--module", "PATH", "the filter module to ask (default: the one next to the vell command)"}},
};

bool ExplainOptionsFrom(const ParsedArguments& arguments, ExplainOptions* options, std::string* error) {
  options->config = arguments.operands[0];
  if (options->config == "-") return *error = "CONFIG must be a file (- is for the URLs)", false;
  options->method = arguments.Value("--method", options->method);
  options->client = arguments.Value("--client", options->client);
  options->referer = arguments.Value("--referer", options->referer);
  options->host = arguments.Value("--host", options->host);
  options->hostGiven = arguments.Has("--host");
  options->module = arguments.Value("--module", options->module);
  for (auto url = arguments.operands.begin() + 1; url != arguments.operands.end(); ++url) {
    if (*url != "-") {
      options->urls.push_back(*url);
      continue;
    }
    std::string text;
    if (!ReadInput("-", &text, error)) return *error = FileMessage(InputName("-"), *error), false;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) options->urls.push_back(line);
    }
  }
  return true;
}

int RunExplain(int argc, char** argv) {
  int status = kExitOk;
  const auto arguments = ParseArguments(kExplainCommand, argc, argv, &status, std::cout, std::cerr);
  if (!arguments) return status;
  ExplainOptions options;
  std::string error;
  if (!ExplainOptionsFrom(*arguments, &options, &error)) return UsageError(kExplainCommand, error, std::cerr);
  return ExplainRequests(options, std::cout, std::cerr);
}

}  // namespace vell::tools
