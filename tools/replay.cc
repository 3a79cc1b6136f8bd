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
#include "tools/arguments.h"
#include "tools/commands.h"
#include "tools/private_module.h"
#include "tools/rule_labels.h"
#include "tools/config_copy.h"
#include "tools/traced_module.h"

namespace vell::tools {

namespace {

using Clock = std::chrono::steady_clock;

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
  uint32_t check = 0;
  std::uint64_t hits = 0;
  std::uint64_t deny = 0;
  std::uint64_t redirect = 0;
  std::uint64_t rewrite = 0;
  std::uint64_t heldBack = 0;  // a deny or redirect that detection-only mode did not carry out
  std::uint64_t pass = 0;      // fired, but its actions neither denied nor redirected
  std::uint64_t excluded = 0;  // matched, but an Exclude line took it away
  std::uint64_t logLines = 0;
  std::vector<std::string> samples;
};

struct ExclusionStats {
  std::uint64_t requests = 0;
  std::vector<std::string> samples;
};

// A request whose outcome differs between the configuration and the one it is replayed against.
struct ChangeStats {
  std::uint64_t requests = 0;
  std::vector<std::string> samples;
};

struct ShownRequest {
  std::string kind;  // "denied", "redirected", "rewritten", "logged", "heldback", "excluded", "changed"
  std::string file;
  std::uint64_t line = 0;
  std::string method;
  std::string client;
  std::string url;
  std::string rule;
  std::string newUrl;
  // For a deep rule: the decoded form or argument it matched, and how.
  std::string form;
};

struct Totals {
  std::uint64_t requests = 0;
  std::uint64_t deny = 0;
  std::uint64_t redirect = 0;
  std::uint64_t rewrite = 0;
  std::uint64_t heldBackDeny = 0;
  std::uint64_t heldBackRedirect = 0;
  std::uint64_t excluded = 0;
  std::uint64_t allowed = 0;
  std::uint64_t logged = 0;
  std::uint64_t auditLines = 0;
  std::uint64_t malformed = 0;
  std::uint64_t changed = 0;
};

// A rule by its list and place, for grouping.
using RuleKey = std::pair<uint32_t, std::size_t>;

// What the server did with a request: "allow", "deny", "redirect" or "rewrite".
const char* Outcome(const TracedRequest& traced) {
  if (traced.answered == kVerdictDeny) return "deny";
  if (traced.answered == kVerdictHandled) return traced.rewritten ? "rewrite" : "redirect";
  return "allow";
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

// The requests --show lists, written out as they are met in the report's format and kept in a
// temporary file until the report is written, so that memory stays flat however many there are.
class RowSpool {
 public:
  explicit RowSpool(ReportFormat format) : format_(format), file_(std::tmpfile()) {}
  ~RowSpool() {
    if (file_ != nullptr) std::fclose(file_);
  }
  RowSpool(const RowSpool&) = delete;
  RowSpool& operator=(const RowSpool&) = delete;

  void Add(const ShownRequest& s) {
    std::ostringstream row;
    switch (format_) {
      case ReportFormat::Text:
        row << "  " << s.file << ":" << s.line << "  " << s.kind << "  " << s.method << " " << s.url
            << "  client " << (s.client.empty() ? "-" : s.client) << "  by "
            << (s.rule.empty() ? "-" : s.rule);
        if (!s.form.empty()) row << " (" << s.form << ")";
        if (!s.newUrl.empty()) row << "  -> " << s.newUrl;
        row << "\n";
        break;
      case ReportFormat::Json:
        row << (count_ ? "," : "") << "\n    {\"kind\": \"" << s.kind << "\", \"file\": ";
        WriteJsonString(row, s.file);
        row << ", \"line\": " << s.line;
        for (const auto& [name, value] : {std::pair{"method", &s.method}, {"client", &s.client},
                                          {"url", &s.url}, {"rule", &s.rule},
                                          {"newUrl", &s.newUrl}, {"form", &s.form}}) {
          row << ", \"" << name << "\": ";
          WriteJsonString(row, *value);
        }
        row << "}";
        break;
      case ReportFormat::Csv:
        row << s.kind << "," << CsvField(s.file) << "," << s.line << "," << CsvField(s.method) << ","
            << CsvField(s.client) << "," << CsvField(s.url) << "," << CsvField(s.rule) << ","
            << CsvField(s.newUrl) << "," << CsvField(s.form) << "\n";
        break;
    }
    const std::string text = row.str();
    if (file_ == nullptr || std::fwrite(text.data(), 1, text.size(), file_) != text.size()) {
      fallback_ += text;  // no temporary file: kept in memory instead
    }
    ++count_;
  }

  std::uint64_t count() const { return count_; }

  void CopyTo(std::ostream& out) const {
    if (file_ != nullptr) {
      std::rewind(file_);
      char buffer[1 << 16];
      for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;) out.write(buffer, n);
    }
    out << fallback_;
  }

 private:
  ReportFormat format_;
  std::FILE* file_;
  std::string fallback_;
  std::uint64_t count_ = 0;
};

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

// The configurations a replay serves requests with: the one replayed, and optionally the one it is
// compared against, each with its rule labels.
struct ReplayConfig {
  std::string path;
  FilterConfig config;
  ConfigSource source;
  std::unique_ptr<TracedModule> module;
};

class ReplaySession {
 public:
  ReplaySession(const ReplayOptions& options, ReplayConfig& main, ReplayConfig* against,
                std::ostream& err)
      : options_(options), main_(main), against_(against), err_(err),
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
    values_.serverName.assign(logged.hasHost ? logged.host : std::string_view(options_.serverName));
    values_.remoteAddr.assign(logged.clientIp);
    values_.remoteHost.assign(logged.clientIp);
    values_.method.assign(logged.method);
    values_.url.assign(logged.url);
    // The filter sees values only up to their first NUL, which an escape in a log can produce.
    for (std::string* value : {&values_.serverName, &values_.remoteAddr, &values_.remoteHost,
                               &values_.method, &values_.url}) {
      const std::size_t nul = value->find('\0');
      if (nul != std::string::npos) value->resize(nul);
    }
    BuildAllHttp(logged);

    const TracedRequest traced = main_.module->Serve(values_);
    ++totals_.requests;
    const char* kind = nullptr;
    if (traced.answered == kVerdictDeny) {
      ++totals_.deny;
      kind = "denied";
    } else if (traced.answered == kVerdictHandled) {
      if (traced.rewritten) {
        ++totals_.rewrite;
        kind = "rewritten";
      } else {
        ++totals_.redirect;
        kind = "redirected";
      }
    } else {
      ++totals_.allowed;
    }
    if (!traced.enforced) {
      ++(traced.decided == kVerdictDeny ? totals_.heldBackDeny : totals_.heldBackRedirect);
      kind = "heldback";
    }
    const int logLines = traced.LogLines();
    totals_.auditLines += static_cast<std::uint64_t>(logLines);
    if (logLines > 0) ++totals_.logged;
    if (!kind && logLines > 0) kind = "logged";

    std::string excludedBy;
    bool excluded = false;
    std::vector<std::size_t> exclusionsSeen;
    for (const TracedEvent& event : traced.events) CountEvent(event, &exclusionsSeen);
    for (std::size_t e : exclusionsSeen) {
      ExclusionStats& stats = exclusions_[e];
      ++stats.requests;
      AddSample(stats.samples, values_.url);
      excluded = true;
    }
    if (excluded) ++totals_.excluded;
    if (!kind && excluded) kind = "excluded";

    const TracedEvent* deciding = traced.Deciding();
    std::string rule = deciding ? Label(main_, deciding->ruleList, deciding->ruleIndex) : "";
    if (traced.rewritten) rule = RewriteLabel(main_, traced);
    if (kind && options_.show.count(kind)) {
      // A request no rule decided is shown with the first rule that logged it.
      const TracedEvent* shown = deciding;
      for (const TracedEvent& event : traced.events) {
        if (shown == nullptr && event.type == VELL_EVENT_ACTIONS && event.logLines > 0) shown = &event;
      }
      const std::string shownRule =
          !rule.empty() || shown == nullptr ? rule : Label(main_, shown->ruleList, shown->ruleIndex);
      Show(kind, path, logged, shownRule, traced.newUrl, shown ? FormOf(traced, *shown) : "");
    }
    if (against_) Compare(path, logged, traced, rule);
  }

  void CountEvent(const TracedEvent& event, std::vector<std::size_t>* exclusionsSeen) {
    const RuleKey key{event.ruleList, event.ruleIndex};
    switch (event.type) {
      case VELL_EVENT_RULE: {
        if (!event.fired) return;
        RuleStats& stats = rules_[key];
        stats.check = event.check;
        ++stats.hits;
        AddSample(stats.samples, values_.url);
        return;
      }
      case VELL_EVENT_EXCLUDED: {
        RuleStats& stats = rules_[key];
        stats.check = event.check;
        ++stats.excluded;
        if (std::find(exclusionsSeen->begin(), exclusionsSeen->end(), event.exclusion) ==
            exclusionsSeen->end()) {
          exclusionsSeen->push_back(event.exclusion);
        }
        return;
      }
      case VELL_EVENT_ACTIONS: {
        RuleStats& stats = rules_[key];
        stats.logLines += static_cast<std::uint64_t>(event.logLines);
        if (!event.enforced) ++stats.heldBack;
        else if (event.verdict == kVerdictDeny) ++stats.deny;
        else if (event.verdict == kVerdictHandled) ++stats.redirect;
        else ++stats.pass;
        return;
      }
      case VELL_EVENT_REWRITE:
        ++rules_[key].rewrite;
        return;
      default:
        return;
    }
  }

  // Serves the same request with the configuration replayed against and records a difference in
  // what the server would do (verdict or new URL).
  void Compare(const std::string& path, const LogRequest& logged, const TracedRequest& now,
               const std::string& nowRule) {
    const TracedRequest before = against_->module->Serve(values_);
    if (before.answered == now.answered && before.newUrl == now.newUrl) return;
    ++totals_.changed;
    std::string rule = nowRule;
    if (rule.empty()) {
      if (const TracedEvent* deciding = before.Deciding()) {
        rule = Label(*against_, deciding->ruleList, deciding->ruleIndex);
      } else if (before.rewritten) {
        rule = RewriteLabel(*against_, before);
      }
    }
    const std::string change = std::string(Outcome(before)) + " -> " + Outcome(now);
    ChangeStats& stats = changes_[{change, rule}];
    ++stats.requests;
    AddSample(stats.samples, values_.url);
    if (options_.show.count("changed")) {
      Show("changed", path, logged, rule + " (" + change + ")", now.newUrl);
    }
  }

  // The form or argument the rule of a kActions event matched, from its kRule event.
  static std::string FormOf(const TracedRequest& traced, const TracedEvent& actions) {
    for (const TracedEvent& event : traced.events) {
      if (event.type == VELL_EVENT_RULE && event.fired && event.ruleList == actions.ruleList &&
          event.ruleIndex == actions.ruleIndex) {
        return event.form;
      }
    }
    return "";
  }

  void Show(const char* kind, const std::string& path, const LogRequest& logged,
            const std::string& rule, const std::string& newUrl, const std::string& form = "") {
    shown_.Add({kind, path, logged.line, values_.method, values_.remoteAddr, values_.url, rule,
                newUrl, form});
  }

  static void AddSample(std::vector<std::string>& samples, const std::string& url) {
    if (samples.size() < kSamplesPerRule &&
        std::find(samples.begin(), samples.end(), url) == samples.end()) {
      samples.push_back(url);
    }
  }

  static std::string Label(const ReplayConfig& config, uint32_t list, std::size_t index) {
    return RuleLabel(config.config, list, index);
  }

  static std::string RewriteLabel(const ReplayConfig& config, const TracedRequest& traced) {
    for (const TracedEvent& event : traced.events) {
      if (event.type == VELL_EVENT_REWRITE) return Label(config, event.ruleList, event.ruleIndex);
    }
    return "";
  }

  std::string ExclusionLabel(std::size_t exclusion) const {
    const int line = ExclusionLine(main_.source, exclusion);
    std::string label = "Exclude#" + std::to_string(exclusion + 1);
    if (line > 0) label += " (" + main_.path + ":" + std::to_string(line) + ")";
    return label;
  }

  // The "ALL_HTTP" text a server would hand out for the headers the log recorded.
  void BuildAllHttp(const LogRequest& logged) {
    std::string& allHttp = values_.allHttp;
    allHttp.clear();
    auto add = [&](const char* name, std::string_view value) {
      allHttp += name;
      allHttp += ':';
      allHttp.append(value);
      allHttp += '\n';
    };
    if (logged.hasHost) add("HTTP_HOST", logged.host);
    if (logged.hasReferer) add("HTTP_REFERER", logged.referer);
    if (logged.hasUserAgent) add("HTTP_USER_AGENT", logged.userAgent);
  }

  std::vector<std::pair<RuleKey, const RuleStats*>> RulesByHits() const {
    std::vector<std::pair<RuleKey, const RuleStats*>> sorted;
    for (const auto& [key, stats] : rules_) sorted.emplace_back(key, &stats);
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
      return a.second->hits + a.second->excluded > b.second->hits + b.second->excluded;
    });
    return sorted;
  }

  void WriteText(std::ostream& out) const {
    out << "vell replay of " << options_.config << " (verdicts from the filter module)\n\n";
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
        << "would rewrite   " << WithCommas(t.rewrite) << Percent(t.rewrite, t.requests) << "\n";
    if (main_.config.mode == FilterMode::DetectionOnly || t.heldBackDeny + t.heldBackRedirect > 0) {
      const std::uint64_t held = t.heldBackDeny + t.heldBackRedirect;
      out << "held back       " << WithCommas(held) << Percent(held, t.requests)
          << " (detection-only: " << WithCommas(t.heldBackDeny) << " deny, "
          << WithCommas(t.heldBackRedirect) << " redirect)\n";
    }
    out << "logged          " << WithCommas(t.logged) << Percent(t.logged, t.requests) << " ("
        << WithCommas(t.auditLines) << " audit lines)\n";
    if (!main_.config.exclusions.empty()) {
      out << "excluded        " << WithCommas(t.excluded) << Percent(t.excluded, t.requests)
          << " (an Exclude line took a matching rule away)\n";
    }
    out << "allowed as is   " << WithCommas(t.allowed) << Percent(t.allowed, t.requests) << "\n";
    out << "\nrules by hits\n";
    if (rules_.empty()) out << "  (no rule fired)\n";
    for (const auto& [key, stats] : RulesByHits()) {
      out << "  " << std::setw(10) << WithCommas(stats->hits) << "  "
          << Label(main_, key.first, key.second) << "  [" << CheckName(stats->check) << ":";
      if (stats->deny) out << " deny " << WithCommas(stats->deny);
      if (stats->redirect) out << " redirect " << WithCommas(stats->redirect);
      if (stats->rewrite) out << " rewrite " << WithCommas(stats->rewrite);
      if (stats->heldBack) out << " held back " << WithCommas(stats->heldBack);
      if (stats->pass) out << " pass " << WithCommas(stats->pass);
      if (stats->excluded) out << " excluded " << WithCommas(stats->excluded);
      if (stats->logLines) out << ", " << WithCommas(stats->logLines) << " audit lines";
      out << "]\n";
      for (const std::string& sample : stats->samples) out << "              e.g. " << sample << "\n";
    }
    if (!main_.config.exclusions.empty()) {
      out << "\nexclusions by requests\n";
      if (exclusions_.empty()) out << "  (no exclusion took a rule away)\n";
      for (const auto& [exclusion, stats] : exclusions_) {
        out << "  " << std::setw(10) << WithCommas(stats.requests) << "  " << ExclusionLabel(exclusion)
            << "\n";
        for (const std::string& sample : stats.samples) out << "              e.g. " << sample << "\n";
      }
    }
    if (against_) {
      out << "\nchanges against " << against_->path << ": " << WithCommas(t.changed) << " requests\n";
      for (const auto& [key, stats] : changes_) {
        out << "  " << std::setw(10) << WithCommas(stats.requests) << "  " << key.first << "  "
            << (key.second.empty() ? "-" : key.second) << "\n";
        for (const std::string& sample : stats.samples) out << "              e.g. " << sample << "\n";
      }
    }
    if (!options_.show.empty()) {
      out << "\nrequests (" << ShowList() << ")\n";
      if (shown_.count() == 0) out << "  (none)\n";
      shown_.CopyTo(out);
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
    out << ",\n  \"verdicts\": \"module\",\n  \"mode\": \""
        << (main_.config.mode == FilterMode::DetectionOnly ? kModeDetectionOnly : kModeEnforce)
        << "\",\n  \"files\": [";
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
        << ", \"heldBackDeny\": " << t.heldBackDeny << ", \"heldBackRedirect\": "
        << t.heldBackRedirect << ", \"logged\": " << t.logged << ", \"auditLines\": "
        << t.auditLines << ", \"excluded\": " << t.excluded << ", \"allowed\": " << t.allowed
        << ", \"malformed\": " << t.malformed << ", \"changed\": " << t.changed
        << "},\n  \"rules\": [";
    bool first = true;
    for (const auto& [key, stats] : RulesByHits()) {
      out << (first ? "" : ",") << "\n    {\"list\": \"" << ListName(key.first)
          << "\", \"index\": " << key.second << ", \"name\": ";
      first = false;
      WriteJsonString(out, RuleAuditNameOf(key));
      out << ", \"label\": ";
      WriteJsonString(out, Label(main_, key.first, key.second));
      out << ", \"check\": \"" << CheckName(stats->check) << "\", \"hits\": " << stats->hits
          << ", \"deny\": " << stats->deny << ", \"redirect\": " << stats->redirect
          << ", \"rewrite\": " << stats->rewrite << ", \"heldBack\": " << stats->heldBack
          << ", \"pass\": " << stats->pass << ", \"excluded\": " << stats->excluded
          << ", \"auditLines\": " << stats->logLines << ", \"samples\": ";
      WriteJsonStrings(out, stats->samples);
      out << "}";
    }
    out << "\n  ],\n  \"exclusions\": [";
    first = true;
    for (const auto& [exclusion, stats] : exclusions_) {
      out << (first ? "" : ",") << "\n    {\"index\": " << exclusion << ", \"line\": "
          << ExclusionLine(main_.source, exclusion) << ", \"requests\": " << stats.requests
          << ", \"samples\": ";
      first = false;
      WriteJsonStrings(out, stats.samples);
      out << "}";
    }
    out << "\n  ],\n  \"changes\": [";
    first = true;
    for (const auto& [key, stats] : changes_) {
      out << (first ? "" : ",") << "\n    {\"change\": \"" << key.first << "\", \"rule\": ";
      first = false;
      WriteJsonString(out, key.second);
      out << ", \"requests\": " << stats.requests << ", \"samples\": ";
      WriteJsonStrings(out, stats.samples);
      out << "}";
    }
    out << "\n  ],\n  \"requests\": [";
    shown_.CopyTo(out);
    out << "\n  ]\n}\n";
  }

  static void WriteJsonStrings(std::ostream& out, const std::vector<std::string>& texts) {
    out << "[";
    for (std::size_t k = 0; k < texts.size(); ++k) {
      out << (k ? ", " : "");
      WriteJsonString(out, texts[k]);
    }
    out << "]";
  }

  std::string RuleAuditNameOf(const RuleKey& key) const {
    const FilterConfig& config = main_.config;
    switch (key.first) {
      case VELL_LIST_BFILTER: return config.bFilters.at(key.second).name;
      case VELL_LIST_CFILTER: return config.cFilters.at(key.second).name;
      case VELL_LIST_SFILTER: return config.sFilters.at(key.second).name;
    }
    return "";
  }

  // One table, with its header row: options_.csvTable.
  void WriteCsv(std::ostream& out) const {
    const Totals& t = totals_;
    const std::string table =
        !options_.csvTable.empty() ? options_.csvTable : options_.show.empty() ? "rules" : "requests";
    if (table == "totals") {
      out << "requests,deny,redirect,rewrite,heldBackDeny,heldBackRedirect,logged,auditLines,excluded,"
             "allowed,malformed,changed\n"
          << t.requests << "," << t.deny << "," << t.redirect << "," << t.rewrite << ","
          << t.heldBackDeny << "," << t.heldBackRedirect << "," << t.logged << "," << t.auditLines
          << "," << t.excluded << "," << t.allowed << "," << t.malformed << "," << t.changed << "\n";
    } else if (table == "rules") {
      out << "list,index,name,label,check,hits,deny,redirect,rewrite,heldBack,pass,excluded,"
             "auditLines,sample1,sample2\n";
      for (const auto& [key, stats] : RulesByHits()) {
        out << ListName(key.first) << "," << key.second << "," << CsvField(RuleAuditNameOf(key))
            << "," << CsvField(Label(main_, key.first, key.second)) << "," << CheckName(stats->check)
            << "," << stats->hits << "," << stats->deny << "," << stats->redirect << ","
            << stats->rewrite << "," << stats->heldBack << "," << stats->pass << ","
            << stats->excluded << "," << stats->logLines << ","
            << CsvField(stats->samples.size() > 0 ? stats->samples[0] : "") << ","
            << CsvField(stats->samples.size() > 1 ? stats->samples[1] : "") << "\n";
      }
    } else if (table == "exclusions") {
      out << "index,line,requests,sample1,sample2\n";
      for (const auto& [exclusion, stats] : exclusions_) {
        out << exclusion << "," << ExclusionLine(main_.source, exclusion) << "," << stats.requests
            << "," << CsvField(stats.samples.size() > 0 ? stats.samples[0] : "") << ","
            << CsvField(stats.samples.size() > 1 ? stats.samples[1] : "") << "\n";
      }
    } else if (table == "changes") {
      out << "change,rule,requests,sample1,sample2\n";
      for (const auto& [key, stats] : changes_) {
        out << CsvField(key.first) << "," << CsvField(key.second) << "," << stats.requests << ","
            << CsvField(stats.samples.size() > 0 ? stats.samples[0] : "") << ","
            << CsvField(stats.samples.size() > 1 ? stats.samples[1] : "") << "\n";
      }
    } else {
      out << "kind,file,line,method,client,url,rule,newUrl,form\n";
      shown_.CopyTo(out);
    }
  }

  const ReplayOptions& options_;
  ReplayConfig& main_;
  ReplayConfig* against_;
  std::ostream& err_;
  Progress progress_;
  RequestValues values_;
  Totals totals_;
  std::vector<FileReport> files_;
  std::map<RuleKey, RuleStats> rules_;
  std::map<std::size_t, ExclusionStats> exclusions_;
  std::map<std::pair<std::string, std::string>, ChangeStats> changes_;
  RowSpool shown_{options_.format};
};

// Reads the configuration at path and starts a private copy of the module with it; false, with
// the message written to err, when either fails.
bool StartConfig(const ReplayOptions& options, const std::string& path, const std::string& auditLog,
                 ReplayConfig* out, std::ostream& err) {
  out->path = path;
  if (!LoadConfigFile(path, &out->config, err, &out->source)) return false;
  try {
    out->module = std::make_unique<TracedModule>(
        options.module.empty() ? DefaultModulePath() : options.module,
        ConfigWithAuditLog(path, auditLog));
  } catch (const std::exception& e) {
    err << "vell replay: " << e.what() << " (--module PATH names the filter module)\n";
    return false;
  }
  return true;
}

}  // namespace

const CommandSyntax kReplayCommand = {
    "replay",
    {"CONFIG", "LOG..."},
    "Runs every request of the access logs (IIS W3C, combined, common, or lists of URLs; plain or\n"
    "gzip; - for standard input) through the filter module with CONFIG, blocking nothing, and\n"
    "reports what it would have done: totals, the rules by hits, and the requests asked for.\n"
    "Exits 1 when an input could not be read to its end.\n",
    {{"--format", "FORMAT", "report as text, json or csv (default text)"},
     {"--csv-table", "TABLE",
      "with --format csv, the one table written: totals, rules, exclusions, changes or requests "
      "(default: requests with --show, otherwise rules)"},
     {"--show", "KINDS",
      "list requests: denied, redirected, rewritten, logged, heldback, excluded, changed (comma "
      "list)"},
     {"--audit-log", "PATH", "let the module write its audit log there (default: none)"},
     {"--log-format", "FORMAT", "w3c, combined, common or urls (default: detected)"},
     {"--server-name", "NAME", "SERVER_NAME when the log has no Host (default localhost)"},
     {"--module", "PATH", "the filter module (default: the one next to vell)"},
     {"--against", "CONFIG", "also serve every request with this config and list what changes"},
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
  if (arguments.Has("--csv-table")) {
    options->csvTable = arguments.Value("--csv-table");
    const std::set<std::string> tables = {"totals", "rules", "exclusions", "changes", "requests"};
    if (!tables.count(options->csvTable)) {
      return *error = "--csv-table is totals, rules, exclusions, changes or requests", false;
    }
  }
  if (arguments.Has("--show")) {
    for (const std::string& list : arguments.options.at("--show")) {
      std::stringstream words(list);
      std::string word;
      while (std::getline(words, word, ',')) {
        if (word == "denied" || word == "redirected" || word == "rewritten" || word == "logged" ||
            word == "heldback" || word == "excluded" || word == "changed") {
          options->show.insert(word);
        } else {
          return *error =
                     "--show takes denied, redirected, rewritten, logged, heldback, excluded or "
                     "changed",
                 false;
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
  options->against = arguments.Value("--against");
  options->progress = !arguments.Has("--no-progress");
  if (options->config == "-") return *error = "CONFIG must be a file (- is for a LOG)", false;
  if (std::count(options->logs.begin(), options->logs.end(), "-") > 1) {
    return *error = "standard input (-) can be read only once", false;
  }
  return true;
}

int Replay(const ReplayOptions& options, std::ostream& out, std::ostream& err) {
  ReplayConfig main;
  if (!StartConfig(options, options.config, options.auditLog, &main, err)) return kExitTrouble;
  std::unique_ptr<ReplayConfig> against;
  if (!options.against.empty()) {
    against = std::make_unique<ReplayConfig>();
    if (!StartConfig(options, options.against, "", against.get(), err)) return kExitTrouble;
  }
  ReplaySession session(options, main, against.get(), err);
  int status = kExitOk;
  for (const std::string& log : options.logs) status = std::max(status, session.ReplayFile(log));
  session.WriteReport(out);
  return status;
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
