#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "auditlog/audit_log.h"
#include "config/filter_config.h"
#include "tools/explain.h"
#include "tools/replay.h"
#include "tools/rule_labels.h"
#include "tools/config_copy.h"
#include "tools/traced_module.h"

namespace vell::tools {
namespace {

const std::string kCases = std::string(VELL_TEST_DATA) + "/replay/";

std::string WriteTempConfig(const std::string& text) {
  static int counter = 0;
  const std::string path = testing::TempDir() + "vell_replay_" + std::to_string(++counter) + ".ini";
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

// Options for replaying the case logs through the built module, without progress lines.
ReplayOptions CaseOptions(const std::string& config, std::vector<std::string> logs) {
  ReplayOptions options;
  options.config = config;
  for (const std::string& log : logs) options.logs.push_back(kCases + log);
  options.progress = false;
  options.module = VELL_MODULE_PATH;
  return options;
}

FilterConfig Config(const std::string& text) {
  const std::string path = WriteTempConfig(text);
  FilterConfig config;
  config.LoadConfig(path);
  std::remove(path.c_str());
  return config;
}

struct WalkCase {
  const char* config;
  const char* serverName;
  const char* method;
  const char* referer;
  const char* url;
  uint32_t verdict;
  const char* hits;  // labels of the rules that fired, in order, joined by " > "
  const char* newUrl;
};

const WalkCase kWalk[] = {
    // The checks run in their order: RequestByIP, client rules, URL rules, rewrite.
    {"BFilter=RequestByIP,enable:true,deny\nBFilter=commandExe,deny", "10.0.0.1", "GET", "",
     "/system32/cmd.exe", kVerdictDeny, "RequestByIP", ""},
    {"BFilter=RequestByIP,enable:true,deny", "www.example.com", "GET", "", "/", kVerdictNext, "", ""},
    {"BFilter=RequestByIP,enable:false,deny\nBFilter=RequestByIP,enable:true,deny", "10.0.0.1",
     "GET", "", "/", kVerdictNext, "", ""},
    {"SFilter=REQUEST_METHOD,^TRACE$,deny\nCFilter=All,.,deny", "h", "TRACE", "", "/", kVerdictDeny,
     "SFilter#1 REQUEST_METHOD ~ ^TRACE$", ""},
    // A log-only rule ends its check, and the pipeline goes on to the next check.
    {"SFilter=HTTP_REFERER,spam,log\nSFilter=REQUEST_METHOD,GET,deny\nCFilter=A,^/a,deny", "h",
     "GET", "http://spam/", "/a", kVerdictDeny, "SFilter#1 HTTP_REFERER ~ spam > A", ""},
    {"CFilter=Watch,^/a,log\nCFilter=Block,^/a,deny\nRewrite=^/a,/b", "h", "GET", "", "/a/x",
     kVerdictHandled, "Watch > Rewrite#1 ^/a => /b", "/b/x"},
    // BFilter rules before CFilter rules, whatever the file order.
    {"CFilter=Mine,cmd,redirect:/x\nBFilter=commandExe,deny", "h", "GET", "", "/system32/cmd.exe",
     kVerdictDeny, "commandExe", ""},
    // Default actions only for rules without actions of their own.
    {"DefaultAction=redirect:/d\nCFilter=A,^/a", "h", "GET", "", "/a", kVerdictHandled, "A", "/d"},
    {"DefaultAction=deny\nCFilter=A,^/a,log", "h", "GET", "", "/a", kVerdictNext, "A", ""},
    {"CFilter=A,^/a", "h", "GET", "", "/a", kVerdictNext, "A", ""},
    {"CFilter=A,^/a,redirect:/r,deny", "h", "GET", "", "/a", kVerdictHandled, "A", "/r"},
    // MaxURLLength compares unsigned: a negative limit never fires.
    {"BFilter=MaxURLLength:5,deny", "h", "GET", "", "/abcd", kVerdictNext, "", ""},
    {"BFilter=MaxURLLength:5,deny", "h", "GET", "", "/abcde", kVerdictDeny, "MaxURLLength", ""},
    {"BFilter=MaxURLLength:-1,deny", "h", "GET", "", "/abcdefghijkl", kVerdictNext, "", ""},
    // MetaChar by mask bits; RequestByIP is not a URL rule.
    {"BFilter=MetaChar,enable:1,deny", "h", "GET", "", "/a|b", kVerdictNext, "", ""},
    {"BFilter=MetaChar,enable:3,deny", "h", "GET", "", "/a|b", kVerdictDeny, "MetaChar", ""},
    {"BFilter=RequestByIP,enable:true,deny", "www", "GET", "", "/1.2.3.4", kVerdictNext, "", ""},
    // Only the first rewrite applies, and only to its first match.
    {"Rewrite=a,b\nRewrite=x,y", "h", "GET", "", "/a/a/x", kVerdictHandled, "Rewrite#1 a => b",
     "/b/a/x"},
};

// The rules that fired, as the module's trace tells them, and what the server was answered.
TEST(TracedModule, PipelineOrderAndActions) {
  for (const WalkCase& c : kWalk) {
    SCOPED_TRACE(std::string(c.config) + " / " + c.url);
    const FilterConfig config = Config(c.config);
    TracedModule module(VELL_MODULE_PATH, c.config);
    RequestValues request{c.serverName, "1.2.3.4", "1.2.3.4", c.method,
                          *c.referer ? std::string("HTTP_REFERER:") + c.referer + "\n" : "", c.url};
    const TracedRequest traced = module.Serve(request);
    EXPECT_EQ(traced.answered, c.verdict);
    EXPECT_EQ(traced.decided, c.verdict);
    std::string hits;
    for (const TracedEvent& event : traced.events) {
      if (event.type == VELL_EVENT_RULE && event.fired) {
        hits += (hits.empty() ? "" : " > ") + RuleLabel(config, event.ruleList, event.ruleIndex);
      }
    }
    EXPECT_EQ(hits, c.hits);
    EXPECT_EQ(traced.newUrl, c.newUrl);
  }
}

// The numbers of a replay's JSON report: totals by key, rules by "List#index".
struct JsonReport {
  std::map<std::string, long> totals;
  std::map<std::string, std::string> rules;  // "hits/deny/redirect/rewrite/pass"
  std::string text;
};

JsonReport ReplayJson(std::vector<std::string> logs, std::string* err = nullptr) {
  ReplayOptions options;
  options.config = kCases + "config.ini";
  for (std::string& log : logs) options.logs.push_back(kCases + log);
  options.format = ReportFormat::Json;
  options.progress = false;
  options.module = VELL_MODULE_PATH;
  std::ostringstream out, errors;
  Replay(options, out, errors);
  if (err) *err = errors.str();
  JsonReport report;
  report.text = out.str();
  std::smatch m;
  if (std::regex_search(report.text, m, std::regex("\"totals\": \\{([^}]*)\\}"))) {
    const std::string totals = m[1];
    std::regex pair("\"(\\w+)\": (\\d+)");
    for (auto it = std::sregex_iterator(totals.begin(), totals.end(), pair); it != std::sregex_iterator();
         ++it) {
      report.totals[(*it)[1]] = std::stol((*it)[2]);
    }
  }
  std::regex rule(
      "\\{\"list\": \"(\\w+)\", \"index\": (\\d+).*\"hits\": (\\d+), \"deny\": (\\d+), \"redirect\": "
      "(\\d+), \"rewrite\": (\\d+), \"heldBack\": \\d+, \"pass\": (\\d+)");
  for (auto it = std::sregex_iterator(report.text.begin(), report.text.end(), rule);
       it != std::sregex_iterator(); ++it) {
    const auto& r = *it;
    report.rules[r[1].str() + "#" + r[2].str()] = r[3].str() + "/" + r[4].str() + "/" + r[5].str() +
                                                  "/" + r[6].str() + "/" + r[7].str();
  }
  return report;
}

struct ReplayCase {
  const char* log;
  std::map<std::string, long> totals;
  std::map<std::string, std::string> rules;  // hits/deny/redirect/rewrite/pass
};

const ReplayCase kReplay[] = {
    // W3C whose #Fields change midway: the first part has no cs-host (server name from
    // --server-name), the second names hosts, one of them numeric.
    {"w3c-fields-change.log",
     {{"requests", 9}, {"deny", 4}, {"redirect", 1}, {"rewrite", 1}, {"logged", 4},
      {"allowed", 3}, {"malformed", 1}},
     {{"BFilter#0", "1/1/0/0/0"},
      {"BFilter#1", "1/1/0/0/0"},
      {"BFilter#3", "1/0/1/0/0"},
      {"CFilter#0", "1/1/0/0/0"},
      {"CFilter#1", "1/0/0/0/1"},
      {"SFilter#0", "1/0/0/0/1"},
      {"SFilter#1", "1/1/0/0/0"},
      {"Rewrite#0", "1/0/0/1/0"}}},
    // Combined: escapes and quotes in the request line; TLS bytes, "-" and junk are malformed.
    {"combined.log",
     {{"requests", 7}, {"deny", 2}, {"redirect", 1}, {"rewrite", 1}, {"logged", 4},
      {"allowed", 3}, {"malformed", 3}},
     {{"BFilter#1", "1/1/0/0/0"},
      {"BFilter#2", "1/1/0/0/0"},
      {"BFilter#3", "1/0/1/0/0"},
      {"SFilter#0", "1/0/0/0/1"},
      {"Rewrite#0", "1/0/0/1/0"}}},
    {"combined.log.gz",
     {{"requests", 7}, {"deny", 2}, {"redirect", 1}, {"rewrite", 1}, {"logged", 4},
      {"malformed", 3}},
     {{"BFilter#1", "1/1/0/0/0"}, {"SFilter#0", "1/0/0/0/1"}}},
    {"common.log",
     {{"requests", 4}, {"deny", 1}, {"redirect", 0}, {"rewrite", 0}, {"logged", 2},
      {"allowed", 3}},
     {{"CFilter#0", "1/1/0/0/0"}, {"BFilter#4", "1/0/0/0/1"}}},
    // URL lists: an absolute URL names the server, here by address.
    {"urls.txt",
     {{"requests", 6}, {"deny", 4}, {"rewrite", 1}, {"allowed", 1}},
     {{"BFilter#0", "1/1/0/0/0"},
      {"BFilter#1", "1/1/0/0/0"},
      {"BFilter#2", "1/1/0/0/0"},
      {"CFilter#0", "1/1/0/0/0"},
      {"Rewrite#0", "1/0/0/1/0"}}},
};

TEST(Replay, JsonTotalsAndRuleCounts) {
  for (const ReplayCase& c : kReplay) {
    SCOPED_TRACE(c.log);
    const JsonReport report = ReplayJson({c.log});
    for (const auto& [key, value] : c.totals) EXPECT_EQ(report.totals.at(key), value) << key;
    for (const auto& [key, value] : c.rules) {
      ASSERT_TRUE(report.rules.count(key)) << key << "\n" << report.text;
      EXPECT_EQ(report.rules.at(key), value) << key;
    }
  }
}

TEST(Replay, TruncatedGzipReportsTheCutAndKeepsWhatWasRead) {
  std::string err;
  const JsonReport report = ReplayJson({"truncated.log.gz", "common.log"}, &err);
  EXPECT_GT(report.totals.at("requests"), 4 + 100);
  EXPECT_NE(report.text.find("\"error\": \"the gzip data ends"), std::string::npos) << report.text;
  EXPECT_NE(err.find("truncated.log.gz"), std::string::npos);
  // The file after it is still read.
  EXPECT_EQ(report.rules.at("CFilter#0"), "1/1/0/0/0");
}

TEST(Replay, TextAndCsvNameRulesSamplesAndDeniedRequests) {
  ReplayOptions options = CaseOptions(kCases + "config.ini", {"combined.log"});
  options.show = {"denied"};
  std::ostringstream text, errors;
  EXPECT_EQ(Replay(options, text, errors), 0) << errors.str();
  EXPECT_NE(text.str().find("would deny      2"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("e.g. /scripts/..%5c../winnt/system32/cmd.exe?/c+dir"), std::string::npos);
  EXPECT_NE(text.str().find("combined.log:4: request line"), std::string::npos);
  EXPECT_NE(text.str().find("combined.log:6  denied  GET /a\\b/..\\winnt"), std::string::npos)
      << text.str();
  // CSV: one table a run, the denied requests by default with --show.
  options.format = ReportFormat::Csv;
  std::ostringstream csv;
  Replay(options, csv, errors);
  const std::string requests = csv.str();
  EXPECT_EQ(requests.rfind("kind,file,line,method,client,url,rule,newUrl,form\n", 0), 0u) << requests;
  EXPECT_EQ(std::count(requests.begin(), requests.end(), '\n'), 3) << requests;
  options.csvTable = "totals";
  std::ostringstream totals;
  Replay(options, totals, errors);
  EXPECT_EQ(totals.str().substr(totals.str().find('\n') + 1, 14), "7,2,1,1,0,0,4,") << totals.str();
  options.csvTable = "rules";
  options.show = {"redirected"};
  options.format = ReportFormat::Text;
  std::ostringstream redirected;
  Replay(options, redirected, errors);
  EXPECT_NE(redirected.str().find("/search?q=\"quoted\"+x%27%20union"), std::string::npos)
      << redirected.str();
}

std::string ReadText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::size_t Count(const std::string& text, const std::string& piece) {
  std::size_t count = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
  return count;
}

// Detection-only mode denies and redirects nothing, and writes one would-... line per verdict the
// same config enforcing carries out.
TEST(Replay, DetectionOnlyHoldsEveryVerdictBackAndLogsIt) {
  const std::string base = ReadText(kCases + "config.ini");
  std::map<std::string, std::string> report[2];
  for (const bool detectionOnly : {false, true}) {
    ReplayOptions options =
        CaseOptions(WriteTempConfig(base + (detectionOnly ? "\nMode=DetectionOnly\n" : "\n")),
                    {"combined.log", "urls.txt"});
    options.format = ReportFormat::Json;
    options.auditLog = testing::TempDir() + "vell_replay_audit_" + (detectionOnly ? "do" : "en") + ".log";
    std::remove(options.auditLog.c_str());
    std::ostringstream out, err;
    EXPECT_EQ(Replay(options, out, err), 0) << err.str();
    const std::string log = ReadText(options.auditLog);
    std::smatch m;
    const std::string text = out.str();
    ASSERT_TRUE(std::regex_search(text, m, std::regex("\"deny\": (\\d+), \"redirect\": (\\d+).*"
                                                      "\"heldBackDeny\": (\\d+), \"heldBackRedirect\": (\\d+)")))
        << text;
    report[detectionOnly]["deny"] = m[1];
    report[detectionOnly]["redirect"] = m[2];
    report[detectionOnly]["heldBackDeny"] = m[3];
    report[detectionOnly]["heldBackRedirect"] = m[4];
    report[detectionOnly]["wouldDenyLines"] = std::to_string(Count(log, ", would-deny\r\n"));
    report[detectionOnly]["wouldRedirectLines"] = std::to_string(Count(log, ", would-redirect\r\n"));
    std::remove(options.config.c_str());
  }
  EXPECT_NE(report[0]["deny"], "0");
  EXPECT_NE(report[0]["redirect"], "0");
  EXPECT_EQ(report[1]["deny"], "0");
  EXPECT_EQ(report[1]["redirect"], "0");
  EXPECT_EQ(report[1]["heldBackDeny"], report[0]["deny"]);
  EXPECT_EQ(report[1]["heldBackRedirect"], report[0]["redirect"]);
  EXPECT_EQ(report[1]["wouldDenyLines"], report[0]["deny"]);
  EXPECT_EQ(report[1]["wouldRedirectLines"], report[0]["redirect"]);
}

// --against lists every request whose outcome differs, grouped by change and rule, and counts
// what each Exclude line took away.
TEST(Replay, AgainstListsEveryChangeAndExclusionsAreCounted) {
  const std::string base = ReadText(kCases + "config.ini");
  ReplayOptions options = CaseOptions(
      WriteTempConfig(base + "\nExclude=rules:commandExe DirectoryTraversal,client:198.51.100.0/24\n"),
      {"combined.log"});
  options.against = WriteTempConfig(base);
  options.show = {"changed"};
  std::ostringstream out, err;
  EXPECT_EQ(Replay(options, out, err), 0) << err.str();
  const std::string text = out.str();
  EXPECT_NE(text.find("excluded        1"), std::string::npos) << text;
  EXPECT_NE(text.find("         1  Exclude#1"), std::string::npos) << text;
  EXPECT_NE(text.find(": 1 requests\n           1  deny -> allow  commandExe\n"), std::string::npos) << text;
  EXPECT_NE(text.find("changed  GET /scripts/..%5c../winnt/system32/cmd.exe?/c+dir  client 198.51.100.7  "
                      "by commandExe (deny -> allow)"),
            std::string::npos)
      << text;
  std::remove(options.config.c_str());
  std::remove(options.against.c_str());
}

TEST(TracedModule, PrivateConfigLosesItsAuditLogUnlessAsked) {
  const std::string path =
      WriteTempConfig("// c\r\nAuditLog=audit.log\r\nBFilter=commandExe\n  AuditLog = x.log\nCFilter=A,^/a");
  EXPECT_EQ(ConfigWithAuditLog(path, ""), "// c\r\nBFilter=commandExe\nCFilter=A,^/a");
  const std::string kept = ConfigWithAuditLog(path, "replay-audit.log");
  EXPECT_EQ(kept.rfind("// c\r\nBFilter=commandExe\nCFilter=A,^/a\nAuditLog=", 0), 0u) << kept;
  EXPECT_NE(kept.find("replay-audit.log\n"), std::string::npos);
  std::remove(path.c_str());
}

TEST(Replay, AuditLogKeysOfTheConfigApplyToTheAskedForLog) {
  // A copy of the case configuration with JSON lines and rotation at 1 KB.
  std::ifstream original(kCases + "config.ini", std::ios::binary);
  std::ostringstream text;
  text << original.rdbuf() << "\nAuditLogFormat=json\nAuditLogMaxSize=1K\n";
  const std::string config = WriteTempConfig(text.str());
  const std::string log = testing::TempDir() + "vell_replay_keys_audit.log";
  for (unsigned g = 0; g < 20; ++g) std::remove(AuditLogGenerationName(log, g).c_str());

  ReplayOptions options;
  options.config = config;
  options.logs = {kCases + "combined.log", kCases + "common.log"};
  options.format = ReportFormat::Json;
  options.progress = false;
  options.module = VELL_MODULE_PATH;
  options.auditLog = log;
  std::ostringstream out, errors;
  EXPECT_EQ(Replay(options, out, errors), 0) << errors.str();
  std::smatch m;
  const std::string report = out.str();
  ASSERT_TRUE(std::regex_search(report, m, std::regex("\"auditLines\": (\\d+)"))) << report;

  long lines = 0;
  unsigned files = 0;
  for (unsigned g = 0; g < 20; ++g) {
    std::ifstream file(AuditLogGenerationName(log, g), std::ios::binary);
    if (!file) continue;
    ++files;
    for (std::string line; std::getline(file, line); ++lines) {
      EXPECT_EQ(line.rfind("{\"time\":\"", 0), 0u) << line;
    }
    file.close();
    std::remove(AuditLogGenerationName(log, g).c_str());
  }
  EXPECT_EQ(lines, std::stol(m[1])) << report;
  EXPECT_GT(files, 1u);
  std::remove(config.c_str());
}

std::string Explain(std::vector<std::string> urls, const std::string& config = "config.ini") {
  ExplainOptions options;
  options.config = kCases + config;
  options.urls = std::move(urls);
  options.module = VELL_MODULE_PATH;
  std::ostringstream out, err;
  EXPECT_EQ(ExplainRequests(options, out, err), 0) << err.str();
  return out.str();
}

TEST(Explain, NamesTheRuleTheSpanAndTheVerdict) {
  const std::string out = Explain({"/scripts/..%5c../winnt/system32/cmd.exe"});
  // commandExe comes first in the file and decides; DirectoryTraversal would match too.
  EXPECT_NE(out.find("commandExe \"(system32/cmd(\\.)exe)|(root(\\.)exe)\": MATCH at [23, 39) "
                     "\"system32/cmd.exe\""),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("actions (the default actions): deny, log"), std::string::npos) << out;
  EXPECT_NE(out.find("verdict: deny (0x8000004)"), std::string::npos) << out;
  EXPECT_NE(out.find("4. Rewrite on the URL: not reached"), std::string::npos) << out;
}

TEST(Explain, LogOnlyRuleLetsThePipelineGoOnToTheRewrite) {
  ExplainOptions options;
  options.config = kCases + "config.ini";
  options.urls = {"/old/x.ida"};
  options.referer = "http://evil.example/";
  options.module = VELL_MODULE_PATH;
  std::ostringstream out, err;
  ExplainRequests(options, out, err);
  const std::string text = out.str();
  EXPECT_NE(text.find("neither denies nor redirects"), std::string::npos) << text;
  EXPECT_NE(text.find("rewrites the URL to \"/new/x.ida\""), std::string::npos) << text;
  EXPECT_NE(text.find("verdict: URL replaced (0x8000003), rewritten to \"/new/x.ida\""),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("audit lines: 2"), std::string::npos) << text;
}

// explain says what to change: the deciding rule's line, the limit to raise, the mask without the
// bits that fired, and for a deep rule the decoded argument it matched.
TEST(Explain, PointsAtTheLineToChange) {
  const std::string config = WriteTempConfig(
      "DefaultAction=deny\nBFilter=MaxURLLength:30\nBFilter=MetaChar,enable:11\nDFilter=DeepSQLi\n");
  struct Case {
    const char* url;
    const char* says;
  };
  const Case kCases[] = {
      {"/a-rather-long-path-name/and-more", "the URL is 33 bytes, over the limit 30 (to let it "
                                            "through, raise MaxURLLength on "},
      {"/a?b;c", "(to let it through, write enable:10 on "},
      {"/a?id=1%27%20or%201=1--", "MATCH in argument \"id\" value, libinjection fingerprint"},
  };
  for (const Case& c : kCases) {
    ExplainOptions options;
    options.config = config;
    options.urls = {c.url};
    options.module = VELL_MODULE_PATH;
    std::ostringstream out, err;
    EXPECT_EQ(ExplainRequests(options, out, err), 0) << err.str();
    EXPECT_NE(out.str().find(c.says), std::string::npos) << c.url << "\n" << out.str();
  }
  std::remove(config.c_str());
}

}  // namespace
}  // namespace vell::tools
