// vell explain: prints how the filter decides one request: each check in order, each rule tried,
// the rule that fired with the span its pattern matched, its actions, the verdict, the rewrite,
// and the later rules that would have matched had the first not fired.
#include <iostream>
#include <sstream>

#include "config/filter_config.h"
#include "inspect/rule_set.h"
#include "config/signatures.h"
#include "tools/access_log.h"
#include "tools/arguments.h"
#include "tools/commands.h"
#include "tools/explain.h"
#include "tools/rule_walk.h"

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
  Explainer(const RuleSet& rules, std::ostream& out) : rules_(rules), out_(out) {}

  void Explain(const WalkRequest& request) {
    WalkTrace trace;
    const WalkResult result = WalkRules(rules_, request, &trace);
    out_ << "request: " << request.method << " " << Quoted(request.url) << "\n"
         << "  SERVER_NAME " << Quoted(request.serverName) << ", REMOTE_ADDR "
         << Quoted(request.remoteAddr) << ", REMOTE_HOST " << Quoted(request.remoteHost)
         << ", referer " << Quoted(request.referer) << "\n";
    int number = 0;
    for (const CheckTrace& check : trace.checks) {
      ExplainCheck(++number, check, request, result);
    }
    out_ << "\nverdict: " << VerdictText(result.verdict);
    if (result.verdict == kVerdictHandled) {
      out_ << (result.rewritten ? ", rewritten to " : ", redirected to ") << Quoted(result.newUrl);
    }
    out_ << "\n";
    int logLines = 0;
    for (const RuleHit& hit : result.hits) logLines += hit.logLines;
    out_ << "audit lines: " << logLines << "\n";
    std::vector<const TriedRule*> later;
    for (const CheckTrace& check : trace.checks) {
      for (const TriedRule& tried : check.tried) {
        if (!tried.reached && tried.match.matched) later.push_back(&tried);
      }
    }
    if (later.empty()) {
      out_ << "no later rule would have matched\n";
    } else {
      out_ << "had the first not fired, these would have matched too:\n";
      for (const TriedRule* tried : later) {
        out_ << "  " << RuleLabel(rules_, tried->rule) << Where(*tried, request) << "\n";
      }
    }
  }

 private:
  const std::string& Subject(const TriedRule& tried, const WalkRequest& request) const {
    if (tried.rule.list == RuleList::SFilter) {
      const std::string& variable = rules_.config.sFilters[tried.rule.index].variable;
      if (variable == "REMOTE_ADDR") return request.remoteAddr;
      if (variable == "REMOTE_HOST") return request.remoteHost;
      if (variable == "REQUEST_METHOD") return request.method;
      if (variable == "HTTP_REFERER") return request.referer;
    }
    if (tried.rule.list == RuleList::BFilter &&
        rules_.config.bFilters[tried.rule.index].name == "RequestByIP") {
      return request.serverName;
    }
    return request.url;
  }

  std::string Where(const TriedRule& tried, const WalkRequest& request) const {
    std::string out;
    if (tried.match.metaChar >= 0) {
      out += " (metacharacter pattern " + std::to_string(tried.match.metaChar) + " " +
             Quoted(MetaCharPatterns[tried.match.metaChar]) + ")";
    }
    if (tried.match.span) {
      const auto [begin, end] = *tried.match.span;
      const std::string& subject = Subject(tried, request);
      out += " at [" + std::to_string(begin) + ", " + std::to_string(end) + ") " +
             Quoted(std::string_view(subject).substr(begin, end - begin));
    }
    return out;
  }

  void Underline(const TriedRule& tried, const WalkRequest& request) {
    if (!tried.match.span) return;
    const std::string& subject = Subject(tried, request);
    const auto [begin, end] = *tried.match.span;
    if (subject.size() > kLongestUnderlined || Quoted(subject).size() != subject.size() + 2) return;
    out_ << "          " << subject << "\n"
         << "          " << std::string(begin, ' ') << std::string(std::max<std::size_t>(end - begin, 1), '^')
         << "\n";
  }

  void ExplainCheck(int number, const CheckTrace& check, const WalkRequest& request,
                    const WalkResult& result) {
    out_ << "\n" << number << ". " << CheckName(check.check);
    switch (check.check) {
      case Check::RequestByIP: out_ << " on the server name " << Quoted(check.subject); break;
      case Check::Client: out_ << " (SFilter) on the client values"; break;
      case Check::Url: out_ << " (BFilter, then CFilter) on the URL"; break;
      case Check::Rewrite: out_ << " on the URL"; break;
    }
    if (!check.reached) {
      out_ << ": not reached, an earlier check decided\n";
      return;
    }
    out_ << "\n";
    if (check.check == Check::RequestByIP) ExplainRequestByIPConfig();
    bool any = false;
    for (const TriedRule& tried : check.tried) {
      if (!tried.reached) continue;
      any = true;
      out_ << "    " << RuleLabel(rules_, tried.rule);
      const std::string pattern = RulePattern(rules_, tried.rule);
      if (!pattern.empty() && tried.rule.list != RuleList::SFilter &&
          tried.rule.list != RuleList::Rewrite) {
        out_ << " " << Quoted(pattern);
      }
      if (!tried.match.matched) {
        out_ << ": no match" << NoMatchNote(tried) << "\n";
        continue;
      }
      out_ << ": MATCH" << Where(tried, request) << "\n";
      Underline(tried, request);
      for (const RuleHit& hit : result.hits) {
        if (!(hit.rule == tried.rule)) continue;
        if (hit.check == Check::Rewrite) {
          out_ << "      rewrites the URL to " << Quoted(hit.newUrl) << " (0x8000003)\n";
          continue;
        }
        out_ << "      actions (" << (hit.ownActions ? "its own" : "the default actions") << "): "
             << ActionsText(hit.actions) << "\n";
        if (hit.logLines > 0) {
          out_ << "      writes " << hit.logLines << " audit line" << (hit.logLines > 1 ? "s" : "")
               << ": TIME, " << RuleAuditName(rules_, hit.rule) << ", " << request.remoteAddr
               << ", " << request.url << "\n";
        }
        if (hit.verdict == kVerdictNext) {
          out_ << "      neither denies nor redirects: this check ends here and the pipeline goes "
                  "on\n";
        } else {
          out_ << "      verdict: " << VerdictText(hit.verdict);
          if (hit.verdict == kVerdictHandled) out_ << ", URL set to " << Quoted(hit.newUrl);
          out_ << "\n";
        }
      }
    }
    if (!any) out_ << "    (no rules)\n";
  }

  void ExplainRequestByIPConfig() {
    for (const BuiltinRule& rule : rules_.config.bFilters) {
      if (rule.name != "RequestByIP") continue;
      if (!rule.enabled) out_ << "    RequestByIP is not switched on (no enable:true)\n";
      return;
    }
  }

  std::string NoMatchNote(const TriedRule& tried) const {
    if (tried.rule.list == RuleList::SFilter) {
      const std::string& variable = rules_.config.sFilters[tried.rule.index].variable;
      if (variable != "REMOTE_ADDR" && variable != "REMOTE_HOST" && variable != "REQUEST_METHOD" &&
          variable != "HTTP_REFERER") {
        return " (unknown variable " + Quoted(variable) + ", never fires)";
      }
    }
    if (tried.rule.list == RuleList::BFilter) {
      const BuiltinRule& rule = rules_.config.bFilters[tried.rule.index];
      if (rule.name == "MaxURLLength") {
        return " (limit " + std::to_string(static_cast<uint32_t>(rule.maxUrlLength)) + ")";
      }
      if (rule.name == "MetaChar") return " (mask " + std::to_string(rule.enableMask) + ")";
      if (rule.name == "RequestByIP") return "";
    }
    const std::string pattern = RulePattern(rules_, tried.rule);
    if (pattern.empty()) return " (no pattern: never fires)";
    return "";
  }

  const RuleSet& rules_;
  std::ostream& out_;
};

}  // namespace

int ExplainRequests(const ExplainOptions& options, std::ostream& out, std::ostream& err) {
  FilterConfig config;
  if (!LoadConfigFile(options.config, &config, err)) return kExitTrouble;
  const auto rules = CompileRuleSet(std::move(config));
  Explainer explainer(*rules, out);
  bool first = true;
  for (const std::string& url : options.urls) {
    LogRequest parsed;
    WalkRequest request;
    request.url = url;
    request.serverName = options.host;
    if (ParseUrlListLine(url, &parsed)) {
      request.url = std::string(parsed.url);
      if (parsed.hasHost && !options.hostGiven) request.serverName = std::string(parsed.host);
    }
    request.method = options.method;
    request.remoteAddr = options.client;
    request.remoteHost = options.client;
    request.referer = options.referer;
    if (!first) out << "\n" << std::string(72, '-') << "\n";
    first = false;
    explainer.Explain(request);
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
     {"--host", "NAME", "SERVER_NAME, over an absolute URL's host (default localhost)"}},
};

bool ExplainOptionsFrom(const ParsedArguments& arguments, ExplainOptions* options, std::string* error) {
  options->config = arguments.operands[0];
  if (options->config == "-") return *error = "CONFIG must be a file (- is for the URLs)", false;
  options->method = arguments.Value("--method", options->method);
  options->client = arguments.Value("--client", options->client);
  options->referer = arguments.Value("--referer", options->referer);
  options->host = arguments.Value("--host", options->host);
  options->hostGiven = arguments.Has("--host");
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
