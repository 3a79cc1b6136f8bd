// vell replay: reads access logs, runs each request through the filter module's exports as the
// server would, names the rule that decided it from the compiled rules, and reports the totals,
// the rules by hits and, on request, the requests themselves.
#include "tools/replay.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "config/filter_config.h"
#include "inspect/rule_set.h"
#include "tools/arguments.h"
#include "tools/commands.h"
#include "tools/replay_server.h"
#include "tools/rule_walk.h"

namespace vell::tools {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kDisagreementsKept = 5;
constexpr std::size_t kSamplesPerRule = 2;

struct FileReport {
  std::string path;
  LogFormat format = LogFormat::Unknown;
  bool compressed = false;
  std::uint64_t lines = 0;
  std::uint64_t requests = 0;
  std::uint64_t malformed = 0;
  std::vector<MalformedLine> firstMalformed;
  std::string error;
  double seconds = 0;
};

struct RuleStats {
  Check check = Check::Url;
  std::uint64_t hits = 0;
  std::uint64_t deny = 0;
  std::uint64_t redirect = 0;
  std::uint64_t rewrite = 0;
  std::uint64_t pass = 0;     // fired, but its actions neither denied nor redirected
  std::uint64_t logLines = 0;
  std::vector<std::string> samples;
};

struct ShownRequest {
  std::string kind;  // "denied", "redirected", "rewritten", "logged"
  std::string file;
  std::uint64_t line = 0;
  std::string method;
  std::string client;
  std::string url;
  std::string rule;
  std::string newUrl;
};

struct Disagreement {
  std::string file;
  std::uint64_t line = 0;
  std::string url;
  uint32_t module = 0;
  uint32_t rules = 0;
  std::string moduleUrl;
  std::string rulesUrl;
};

struct Totals {
  std::uint64_t requests = 0;
  std::uint64_t deny = 0;
  std::uint64_t redirect = 0;
  std::uint64_t rewrite = 0;
  std::uint64_t allowed = 0;
  std::uint64_t logged = 0;
  std::uint64_t auditLines = 0;
  std::uint64_t malformed = 0;
  std::uint64_t disagreements = 0;
};

std::string VerdictName(uint32_t verdict) {
  switch (verdict) {
    case kVerdictNext: return "allow";
    case kVerdictHandled: return "handled";
    case kVerdictDeny: return "deny";
  }
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", verdict);
  return text;
}

// Text as a JSON string: control bytes escaped, valid UTF-8 kept, other bytes as \u00XX.
void WriteJsonString(std::ostream& out, std::string_view text) {
  out << '"';
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out << '\\' << static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out << escaped;
    } else if (c < 0x80) {
      out << static_cast<char>(c);
    } else {
      int length = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
      bool valid = length > 0 && i + length <= text.size() && c >= 0xC2 && c <= 0xF4;
      for (int k = 1; valid && k < length; ++k) {
        valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
      }
      if (valid) {
        out.write(text.data() + i, length);
        i += length - 1;
      } else {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
        out << escaped;
      }
    }
  }
  out << '"';
}

std::string CsvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string WithCommas(std::uint64_t value) {
  std::string digits = std::to_string(value);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
  return digits;
}

std::string Bytes(std::uint64_t bytes) {
  char text[32];
  if (bytes >= (1ull << 30)) {
    std::snprintf(text, sizeof text, "%.2f GB", bytes / double(1ull << 30));
  } else if (bytes >= (1ull << 20)) {
    std::snprintf(text, sizeof text, "%.1f MB", bytes / double(1ull << 20));
  } else {
    std::snprintf(text, sizeof text, "%.1f kB", bytes / 1024.0);
  }
  return text;
}

std::string Percent(std::uint64_t part, std::uint64_t whole) {
  if (whole == 0) return "";
  char text[32];
  std::snprintf(text, sizeof text, "  (%.3g%%)", 100.0 * part / whole);
  return text;
}

// Prints "file: 312.5 MB of 1.00 GB (31%), 245,000 requests/s" on standard error once a file has
// taken more than a second, updated twice a second.
class Progress {
 public:
  // On a terminal the line is rewritten in place twice a second; elsewhere (a file, a CI log) a
  // new line is written every ten seconds.
  Progress(std::ostream& err, bool enabled, bool terminal)
      : err_(err), enabled_(enabled), terminal_(terminal) {}

  void StartFile(const std::string& path) {
    path_ = path;
    start_ = Clock::now();
    next_ = start_ + std::chrono::seconds(1);
    shown_ = false;
  }

  void Update(const AccessLogReader& reader, std::uint64_t requests) {
    if (!enabled_) return;
    const auto now = Clock::now();
    if (now < next_) return;
    next_ = now + (terminal_ ? std::chrono::milliseconds(500) : std::chrono::milliseconds(10000));
    Print(reader, requests, now, false);
  }

  void FinishFile(const AccessLogReader& reader, std::uint64_t requests) {
    if (shown_) Print(reader, requests, Clock::now(), true);
  }

 private:
  void Print(const AccessLogReader& reader, std::uint64_t requests, Clock::time_point now,
             bool last) {
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const std::uint64_t done = reader.bytesDone();
    const std::uint64_t size = reader.fileSize();
    std::ostringstream line;
    line << "vell replay: " << path_ << ": " << Bytes(done);
    if (size > 0) line << " of " << Bytes(size) << " (" << (100 * done / size) << "%)";
    line << ", " << WithCommas(requests) << " requests, "
         << WithCommas(static_cast<std::uint64_t>(seconds > 0 ? requests / seconds : 0))
         << " requests/s";
    if (last) line << ", " << std::fixed << std::setprecision(1) << seconds << " s";
    if (terminal_) {
      err_ << '\r' << line.str() << (last ? "\n" : "") << std::flush;
    } else {
      err_ << line.str() << "\n" << std::flush;
    }
    shown_ = true;
  }

  std::ostream& err_;
  bool enabled_;
  bool terminal_;
  std::string path_;
  Clock::time_point start_, next_;
  bool shown_ = false;
};

class ReplaySession {
 public:
  ReplaySession(const ReplayOptions& options, std::shared_ptr<const RuleSet> rules,
                ReplayServer* server, std::ostream& err)
      : options_(options), rules_(std::move(rules)), server_(server), err_(err),
        progress_(err, options.progress, options.progressOnTerminal) {}

  // kExitOk when the input was read to its end, kExitProblems when it broke off, kExitTrouble
  // when it could not be opened.
  int ReplayFile(const std::string& path) {
    FileReport file;
    file.path = path;
    const auto start = Clock::now();
    AccessLogReader reader;
    std::string error;
    if (!reader.Open(path, options_.logFormat, &error)) {
      file.error = error;
      err_ << FileMessage(InputName(path), error) << "\n";
      files_.push_back(std::move(file));
      return reader.opened() ? kExitProblems : kExitTrouble;
    }
    file.format = reader.format();
    file.compressed = reader.compressed();
    progress_.StartFile(path);
    LogRequest request;
    while (reader.Next(&request)) {
      ReplayRequest(path, request);
      if ((++file.requests & 0x3fff) == 0) progress_.Update(reader, file.requests);
    }
    progress_.FinishFile(reader, file.requests);
    file.lines = reader.lines();
    file.malformed = reader.malformed();
    file.firstMalformed = reader.firstMalformed();
    file.error = reader.error();
    file.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    totals_.malformed += file.malformed;
    if (!file.error.empty()) {
      err_ << FileMessage(InputName(path), "line " + std::to_string(file.lines) + ": " + file.error) << "\n";
    }
    const int status = file.error.empty() ? kExitOk : kExitProblems;
    files_.push_back(std::move(file));
    return status;
  }

  void WriteReport(std::ostream& out) const {
    switch (options_.format) {
      case ReportFormat::Text: WriteText(out); break;
      case ReportFormat::Json: WriteJson(out); break;
      case ReportFormat::Csv: WriteCsv(out); break;
    }
  }

  const Totals& totals() const { return totals_; }

 private:
  void ReplayRequest(const std::string& path, const LogRequest& logged) {
    walk_.serverName.assign(logged.hasHost ? logged.host : std::string_view(options_.serverName));
    walk_.remoteAddr.assign(logged.clientIp);
    walk_.remoteHost.assign(logged.clientIp);
    walk_.method.assign(logged.method);
    walk_.url.assign(logged.url);
    // The filter sees values only up to their first NUL, which an escape in a log can produce.
    for (std::string* value : {&walk_.serverName, &walk_.remoteAddr, &walk_.remoteHost,
                               &walk_.method, &walk_.url}) {
      const std::size_t nul = value->find('\0');
      if (nul != std::string::npos) value->resize(nul);
    }
    BuildAllHttp(logged);
    walk_.referer = ExtractReferer(allHttp_);

    const WalkResult result = WalkRules(*rules_, walk_, nullptr);
    ++totals_.requests;
    uint32_t verdict = result.verdict;
    if (server_) {
      const ServedRequest served = server_->Serve(walk_, allHttp_);
      if (served.verdict != result.verdict ||
          (served.verdict == kVerdictHandled && served.newUrl != result.newUrl)) {
        ++totals_.disagreements;
        if (disagreements_.size() < kDisagreementsKept) {
          disagreements_.push_back({path, logged.line, walk_.url, served.verdict, result.verdict,
                                    served.newUrl, result.newUrl});
        }
      }
      verdict = served.verdict;
    }
    const char* kind = nullptr;
    if (verdict == kVerdictDeny) {
      ++totals_.deny;
      kind = "denied";
    } else if (verdict == kVerdictHandled) {
      if (result.rewritten) {
        ++totals_.rewrite;
        kind = "rewritten";
      } else {
        ++totals_.redirect;
        kind = "redirected";
      }
    } else {
      ++totals_.allowed;
    }
    const bool logged_ = result.logged();
    if (logged_) ++totals_.logged;
    const RuleHit* deciding = nullptr;
    for (const RuleHit& hit : result.hits) {
      RuleStats& stats = rules_by_ref_[hit.rule];
      stats.check = hit.check;
      ++stats.hits;
      stats.logLines += hit.logLines;
      totals_.auditLines += hit.logLines;
      if (hit.check == Check::Rewrite) {
        ++stats.rewrite;
      } else if (hit.verdict == kVerdictDeny) {
        ++stats.deny;
      } else if (hit.verdict == kVerdictHandled) {
        ++stats.redirect;
      } else {
        ++stats.pass;
      }
      if (hit.verdict != kVerdictNext) deciding = &hit;
      if (stats.samples.size() < kSamplesPerRule &&
          std::find(stats.samples.begin(), stats.samples.end(), walk_.url) == stats.samples.end()) {
        stats.samples.push_back(walk_.url);
      }
    }
    if (!kind && logged_) kind = "logged";
    if (kind && options_.show.count(kind)) {
      const RuleHit* named = deciding ? deciding : (result.hits.empty() ? nullptr : &result.hits[0]);
      shown_.push_back({kind, path, logged.line, walk_.method, walk_.remoteAddr, walk_.url,
                        named ? RuleLabel(*rules_, named->rule) : "",
                        verdict == kVerdictHandled ? result.newUrl : ""});
    }
  }

  // The "ALL_HTTP" text a server would hand out for the headers the log recorded.
  void BuildAllHttp(const LogRequest& logged) {
    allHttp_.clear();
    auto add = [&](const char* name, std::string_view value) {
      allHttp_ += name;
      allHttp_ += ':';
      allHttp_.append(value);
      allHttp_ += '\n';
    };
    if (logged.hasHost) add("HTTP_HOST", logged.host);
    if (logged.hasReferer) add("HTTP_REFERER", logged.referer);
    if (logged.hasUserAgent) add("HTTP_USER_AGENT", logged.userAgent);
  }

  std::vector<std::pair<RuleRef, const RuleStats*>> RulesByHits() const {
    std::vector<std::pair<RuleRef, const RuleStats*>> sorted;
    for (const auto& [ref, stats] : rules_by_ref_) sorted.emplace_back(ref, &stats);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const auto& a, const auto& b) { return a.second->hits > b.second->hits; });
    return sorted;
  }

  std::string VerdictSource() const {
    return server_ ? "module" : "rules";
  }

  void WriteText(std::ostream& out) const {
    out << "vell replay of " << options_.config << " (verdicts from "
        << (server_ ? "the filter module, rules named from the configuration"
                    : "the configuration's rules only")
        << ")\n\n";
    for (const FileReport& file : files_) {
      out << file.path << ": ";
      if (file.format == LogFormat::Unknown) {
        out << "not read: " << file.error << "\n";
        continue;
      }
      out << LogFormatName(file.format) << (file.compressed ? ", gzip" : "") << ", "
          << WithCommas(file.lines) << " lines, " << WithCommas(file.requests) << " requests, "
          << WithCommas(file.malformed) << " malformed, " << std::fixed << std::setprecision(1)
          << file.seconds << " s";
      if (file.seconds > 0) {
        out << ", " << WithCommas(static_cast<std::uint64_t>(file.requests / file.seconds))
            << " requests/s";
      }
      out << "\n";
      for (const MalformedLine& bad : file.firstMalformed) {
        out << "  " << file.path << ":" << bad.line << ": " << bad.reason << "\n";
      }
      if (file.malformed > file.firstMalformed.size()) {
        out << "  ... and " << WithCommas(file.malformed - file.firstMalformed.size())
            << " more malformed lines\n";
      }
      if (!file.error.empty()) out << "  stopped early: " << file.error << "\n";
    }
    const Totals& t = totals_;
    out << "\n"
        << "requests        " << WithCommas(t.requests) << "\n"
        << "would deny      " << WithCommas(t.deny) << Percent(t.deny, t.requests) << "\n"
        << "would redirect  " << WithCommas(t.redirect) << Percent(t.redirect, t.requests) << "\n"
        << "would rewrite   " << WithCommas(t.rewrite) << Percent(t.rewrite, t.requests) << "\n"
        << "logged          " << WithCommas(t.logged) << Percent(t.logged, t.requests) << " ("
        << WithCommas(t.auditLines) << " audit lines)\n"
        << "allowed as is   " << WithCommas(t.allowed) << Percent(t.allowed, t.requests) << "\n";
    if (server_) {
      out << "module and rules disagree on " << WithCommas(t.disagreements) << " requests\n";
      for (const Disagreement& d : disagreements_) {
        out << "  " << d.file << ":" << d.line << ": " << d.url << ": module " << VerdictName(d.module)
            << (d.moduleUrl.empty() ? "" : " -> " + d.moduleUrl) << ", rules "
            << VerdictName(d.rules) << (d.rulesUrl.empty() ? "" : " -> " + d.rulesUrl) << "\n";
      }
    }
    out << "\nrules by hits\n";
    if (rules_by_ref_.empty()) out << "  (no rule fired)\n";
    for (const auto& [ref, stats] : RulesByHits()) {
      out << "  " << std::setw(10) << WithCommas(stats->hits) << "  " << RuleLabel(*rules_, ref)
          << "  [" << CheckName(stats->check) << ":";
      if (stats->deny) out << " deny " << WithCommas(stats->deny);
      if (stats->redirect) out << " redirect " << WithCommas(stats->redirect);
      if (stats->rewrite) out << " rewrite " << WithCommas(stats->rewrite);
      if (stats->pass) out << " pass " << WithCommas(stats->pass);
      if (stats->logLines) out << ", " << WithCommas(stats->logLines) << " audit lines";
      out << "]\n";
      for (const std::string& sample : stats->samples) out << "              e.g. " << sample << "\n";
    }
    if (!options_.show.empty()) {
      out << "\nrequests (" << ShowList() << ")\n";
      if (shown_.empty()) out << "  (none)\n";
      for (const ShownRequest& shown : shown_) {
        out << "  " << shown.file << ":" << shown.line << "  " << shown.kind << "  " << shown.method
            << " " << shown.url << "  client " << (shown.client.empty() ? "-" : shown.client)
            << "  by " << (shown.rule.empty() ? "-" : shown.rule);
        if (!shown.newUrl.empty()) out << "  -> " << shown.newUrl;
        out << "\n";
      }
    }
  }

  std::string ShowList() const {
    std::string list;
    for (const std::string& kind : options_.show) list += (list.empty() ? "" : ", ") + kind;
    return list;
  }

  void WriteJson(std::ostream& out) const {
    out << "{\n  \"config\": ";
    WriteJsonString(out, options_.config);
    out << ",\n  \"verdicts\": \"" << VerdictSource() << "\",\n  \"files\": [";
    for (std::size_t i = 0; i < files_.size(); ++i) {
      const FileReport& file = files_[i];
      out << (i ? "," : "") << "\n    {\"path\": ";
      WriteJsonString(out, file.path);
      out << ", \"format\": \"" << LogFormatName(file.format) << "\", \"gzip\": "
          << (file.compressed ? "true" : "false") << ", \"lines\": " << file.lines
          << ", \"requests\": " << file.requests << ", \"malformed\": " << file.malformed
          << ", \"malformedLines\": [";
      for (std::size_t k = 0; k < file.firstMalformed.size(); ++k) {
        out << (k ? ", " : "") << "{\"line\": " << file.firstMalformed[k].line << ", \"reason\": ";
        WriteJsonString(out, file.firstMalformed[k].reason);
        out << "}";
      }
      out << "], \"error\": ";
      if (file.error.empty()) {
        out << "null";
      } else {
        WriteJsonString(out, file.error);
      }
      out << ", \"seconds\": " << std::fixed << std::setprecision(3) << file.seconds << "}";
    }
    const Totals& t = totals_;
    out << "\n  ],\n  \"totals\": {\"requests\": " << t.requests << ", \"deny\": " << t.deny
        << ", \"redirect\": " << t.redirect << ", \"rewrite\": " << t.rewrite
        << ", \"logged\": " << t.logged << ", \"auditLines\": " << t.auditLines
        << ", \"allowed\": " << t.allowed << ", \"malformed\": " << t.malformed
        << ", \"disagreements\": " << t.disagreements << "},\n  \"rules\": [";
    bool first = true;
    for (const auto& [ref, stats] : RulesByHits()) {
      out << (first ? "" : ",") << "\n    {\"list\": \"" << RuleListName(ref.list)
          << "\", \"index\": " << ref.index << ", \"name\": ";
      first = false;
      WriteJsonString(out, RuleAuditName(*rules_, ref));
      out << ", \"label\": ";
      WriteJsonString(out, RuleLabel(*rules_, ref));
      out << ", \"check\": \"" << CheckName(stats->check) << "\", \"hits\": " << stats->hits
          << ", \"deny\": " << stats->deny << ", \"redirect\": " << stats->redirect
          << ", \"rewrite\": " << stats->rewrite << ", \"pass\": " << stats->pass
          << ", \"auditLines\": " << stats->logLines << ", \"samples\": [";
      for (std::size_t k = 0; k < stats->samples.size(); ++k) {
        out << (k ? ", " : "");
        WriteJsonString(out, stats->samples[k]);
      }
      out << "]}";
    }
    out << "\n  ],\n  \"disagreements\": [";
    for (std::size_t i = 0; i < disagreements_.size(); ++i) {
      const Disagreement& d = disagreements_[i];
      out << (i ? "," : "") << "\n    {\"file\": ";
      WriteJsonString(out, d.file);
      out << ", \"line\": " << d.line << ", \"url\": ";
      WriteJsonString(out, d.url);
      out << ", \"module\": \"" << VerdictName(d.module) << "\", \"rules\": \""
          << VerdictName(d.rules) << "\"}";
    }
    out << "\n  ],\n  \"requests\": [";
    for (std::size_t i = 0; i < shown_.size(); ++i) {
      const ShownRequest& s = shown_[i];
      out << (i ? "," : "") << "\n    {\"kind\": \"" << s.kind << "\", \"file\": ";
      WriteJsonString(out, s.file);
      out << ", \"line\": " << s.line << ", \"method\": ";
      WriteJsonString(out, s.method);
      out << ", \"client\": ";
      WriteJsonString(out, s.client);
      out << ", \"url\": ";
      WriteJsonString(out, s.url);
      out << ", \"rule\": ";
      WriteJsonString(out, s.rule);
      out << ", \"newUrl\": ";
      WriteJsonString(out, s.newUrl);
      out << "}";
    }
    out << "\n  ]\n}\n";
  }

  // Sections separated by a blank line, each a table with its own header row.
  void WriteCsv(std::ostream& out) const {
    const Totals& t = totals_;
    out << "requests,deny,redirect,rewrite,logged,auditLines,allowed,malformed,disagreements\n"
        << t.requests << "," << t.deny << "," << t.redirect << "," << t.rewrite << "," << t.logged
        << "," << t.auditLines << "," << t.allowed << "," << t.malformed << "," << t.disagreements
        << "\n\nlist,index,name,label,check,hits,deny,redirect,rewrite,pass,auditLines,sample1,"
           "sample2\n";
    for (const auto& [ref, stats] : RulesByHits()) {
      out << RuleListName(ref.list) << "," << ref.index << ","
          << CsvField(RuleAuditName(*rules_, ref)) << "," << CsvField(RuleLabel(*rules_, ref))
          << "," << CheckName(stats->check) << "," << stats->hits << "," << stats->deny << ","
          << stats->redirect << "," << stats->rewrite << "," << stats->pass << ","
          << stats->logLines << "," << CsvField(stats->samples.size() > 0 ? stats->samples[0] : "")
          << "," << CsvField(stats->samples.size() > 1 ? stats->samples[1] : "") << "\n";
    }
    if (!options_.show.empty()) {
      out << "\nkind,file,line,method,client,url,rule,newUrl\n";
      for (const ShownRequest& s : shown_) {
        out << s.kind << "," << CsvField(s.file) << "," << s.line << "," << CsvField(s.method)
            << "," << CsvField(s.client) << "," << CsvField(s.url) << "," << CsvField(s.rule)
            << "," << CsvField(s.newUrl) << "\n";
      }
    }
  }

  const ReplayOptions& options_;
  std::shared_ptr<const RuleSet> rules_;
  ReplayServer* server_;
  std::ostream& err_;
  Progress progress_;
  WalkRequest walk_;
  std::string allHttp_;
  Totals totals_;
  std::vector<FileReport> files_;
  std::map<RuleRef, RuleStats> rules_by_ref_;
  std::vector<ShownRequest> shown_;
  std::vector<Disagreement> disagreements_;
};

}  // namespace

const CommandSyntax kReplayCommand = {
    "replay",
    {"CONFIG", "LOG..."},
    "Runs every request of the access logs (IIS W3C, combined, common, or lists of URLs; plain or\n"
    "gzip; - for standard input) through the filter module with CONFIG, blocking nothing, and\n"
    "reports what it would have done: totals, the rules by hits, and the requests asked for.\n"
    "Exits 1 when an input could not be read to its end.\n",
    {{"--format", "FORMAT", "report as text, json or csv (default text)"},
     {"--show", "KINDS", "list requests: denied, redirected, rewritten, logged (comma list)"},
     {"--audit-log", "PATH", "let the module write its audit log there (default: none)"},
     {"--log-format", "FORMAT", "w3c, combined, common or urls (default: detected)"},
     {"--server-name", "NAME", "SERVER_NAME when the log has no Host (default localhost)"},
     {"--module", "PATH", "the filter module (default: the one next to vell)"},
     {"--rules-only", nullptr, "work verdicts out from the rules, without the module"},
     {"--no-progress", nullptr, "no progress line on standard error"}},
};

bool ReplayOptionsFrom(const ParsedArguments& arguments, ReplayOptions* options, std::string* error) {
  options->config = arguments.operands[0];
  options->logs.assign(arguments.operands.begin() + 1, arguments.operands.end());
  if (arguments.Has("--format")) {
    const std::string text = arguments.Value("--format");
    if (text == "text") options->format = ReportFormat::Text;
    else if (text == "json") options->format = ReportFormat::Json;
    else if (text == "csv") options->format = ReportFormat::Csv;
    else return *error = "--format is text, json or csv", false;
  }
  if (arguments.Has("--show")) {
    for (const std::string& list : arguments.options.at("--show")) {
      std::stringstream words(list);
      std::string word;
      while (std::getline(words, word, ',')) {
        if (word == "denied" || word == "redirected" || word == "rewritten" || word == "logged") {
          options->show.insert(word);
        } else {
          return *error = "--show takes denied, redirected, rewritten or logged", false;
        }
      }
    }
  }
  options->auditLog = arguments.Value("--audit-log");
  if (arguments.Has("--log-format")) {
    options->logFormat = ParseLogFormatName(arguments.Value("--log-format"));
    if (options->logFormat == LogFormat::Unknown) {
      return *error = "--log-format is w3c, combined, common or urls", false;
    }
  }
  options->serverName = arguments.Value("--server-name", options->serverName);
  options->module = arguments.Value("--module");
  options->useModule = !arguments.Has("--rules-only");
  options->progress = !arguments.Has("--no-progress");
  if (options->config == "-") return *error = "CONFIG must be a file (- is for a LOG)", false;
  if (std::count(options->logs.begin(), options->logs.end(), "-") > 1) {
    return *error = "standard input (-) can be read only once", false;
  }
  return true;
}

int Replay(const ReplayOptions& options, std::ostream& out, std::ostream& err) {
  FilterConfig config;
  if (!LoadConfigFile(options.config, &config, err)) return kExitTrouble;
  std::unique_ptr<ReplayServer> server;
  if (options.useModule) {
    std::string error;
    server = StartReplayServer(options, &error);
    if (!server) {
      err << "vell replay: " << error << "\n";
      return kExitTrouble;
    }
  }
  ReplaySession session(options, CompileRuleSet(std::move(config)), server.get(), err);
  int status = kExitOk;
  for (const std::string& log : options.logs) status = std::max(status, session.ReplayFile(log));
  session.WriteReport(out);
  return session.totals().disagreements == 0 ? status : std::max(status, kExitProblems);
}

int RunReplay(int argc, char** argv) {
  int status = kExitOk;
  const auto arguments = ParseArguments(kReplayCommand, argc, argv, &status, std::cout, std::cerr);
  if (!arguments) return status;
  ReplayOptions options;
  std::string error;
  if (!ReplayOptionsFrom(*arguments, &options, &error)) return UsageError(kReplayCommand, error, std::cerr);
#ifdef _WIN32
  options.progressOnTerminal = _isatty(_fileno(stderr)) != 0;
#else
  options.progressOnTerminal = isatty(fileno(stderr)) != 0;
#endif
  return Replay(options, std::cout, std::cerr);
}

}  // namespace vell::tools
