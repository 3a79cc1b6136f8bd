// vell explain and vell replay learn what the filter does from the module's trace export. These
// tests serve the same requests to one module copy through HttpFilterProc, as the server does,
// and to another through the trace export, as the tools do, and require the same verdict, the
// same URL changes, the same last error and the same audit lines, and a trace whose own account
// of the verdict and new URL matches what the server was told.
#include <random>
#include <regex>

#include <gtest/gtest.h>

#include "cases/end_to_end.h"
#include "loaded_filter.h"
#include "tools/traced_module.h"

namespace vell::testing {
namespace {

std::vector<std::string> UrlChanges(const tools::SimulatedRequest& request) {
  std::vector<std::string> changes;
  for (const auto& change : request.requestHeaderChanges()) changes.push_back(change.value);
  return changes;
}

// Both ways of serving one configuration, each module copy with its own audit log.
class BothWays {
 public:
  explicit BothWays(const std::vector<std::string>& config)
      : exports_({.configLines = config, .auditLogInFolder = true}),
        traced_(BuiltModulePath(), TracedConfig(config)) {
    EXPECT_EQ(exports_.Start(), 1);
  }

  // Serves one request both ways and compares what the server sees and what the trace says.
  void Compare(const CaseRequest& r) {
    tools::SimulatedRequest direct(VariablesOf(r), {{"url", r.url}});
    const DWORD verdict = exports_.module().HttpFilterProc(direct.context(), SF_NOTIFY_PREPROC_HEADERS,
                                                           direct.headersRecord());
    const uint32_t directError = exports_.module().LastError();

    tools::SimulatedRequest viaTrace(VariablesOf(r), {{"url", r.url}});
    const tools::TracedRequest traced = traced_.Serve(viaTrace);
    const uint32_t tracedError = traced_.module().LastError();

    EXPECT_EQ(traced.answered, verdict);
    EXPECT_EQ(UrlChanges(viaTrace), UrlChanges(direct));
    if (verdict == kError) {
      EXPECT_EQ(tracedError, directError);
    }
    // The trace's own account agrees with what the server was answered.
    if (traced.enforced) {
      EXPECT_EQ(traced.decided, verdict);
    } else {
      EXPECT_EQ(verdict, kNext);
    }
    const std::vector<std::string> changes = UrlChanges(direct);
    EXPECT_EQ(traced.newUrl, changes.empty() ? "" : changes.back());
    ASSERT_FALSE(traced.events.empty());
    EXPECT_EQ(traced.events.back().type, VELL_EVENT_DONE);
  }

  // The two logs hold the same bytes but for their timestamps.
  void CompareLogs() {
    const std::regex timestamp("\\d\\d/\\d\\d/\\d{4} \\d+:\\d+:\\d+");
    const std::string traced = ReadFile(log_.path() / "audit.log");
    EXPECT_FALSE(traced.empty());
    EXPECT_EQ(std::regex_replace(traced, timestamp, "T"),
              std::regex_replace(ReadFile(exports_.auditLogPath()), timestamp, "T"));
  }

 private:
  static std::string BuiltModulePath() { return VELL_MODULE_PATH; }

  std::string TracedConfig(const std::vector<std::string>& config) {
    std::string text = "AuditLog=" + (log_.path() / "audit.log").string() + "\n";
    for (const std::string& line : config) text += line + "\n";
    return text;
  }

  TempFolder log_;
  LoadedFilter exports_;
  tools::TracedModule traced_;
};

TEST(TraceAgreement, EndToEndCases) {
  for (const EndToEndCase& c : EndToEndCases()) {
    SCOPED_TRACE(c.name);
    BothWays both(c.config);
    both.Compare(c.request);
    both.CompareLogs();
  }
}

// Found by trying the tools as a new user: the tools once decided with an engine of their own.
TEST(TraceAgreement, PatternTheBacktrackingEngineGivesUpOn) {
  BothWays both({"CFilter=Plain,(a|aa)*c,deny,log"});
  both.Compare({.url = "/x?q=" + std::string(43, 'a') + "-ac"});
  both.CompareLogs();
}

TEST(TraceAgreement, RewriteWhoseReplacementCannotBeWorkedOut) {
  BothWays both({"Rewrite=((.a*|a*|.)?|x+b|.?)*/,Z", "Rewrite=/b,/c"});
  both.Compare({.url = "/bccaxb/"});
}

const std::vector<std::string> kGeneratedConfig = {
    "DefaultAction=deny,log",
    "BFilter=RequestByIP,enable:true,redirect:/noip.htm,log",
    "BFilter=SQLInjection1",
    "BFilter=commandExe,deny,log",
    "BFilter=DirectoryTraversal,log",
    "BFilter=MetaChar,enable:254,deny,log",
    "BFilter=MaxURLLength:1500,log",
    "BFilter=URLSplit1,redirect:/split.htm",
    "CFilter=Plain,(a|aa)*c,deny,log",
    "CFilter=Admin,^/admin,deny",
    "CFilter=Watch,\\.php,log",
    "CFilter=Semi,;,log",
    "SFilter=REQUEST_METHOD,^(TRACE|PROPFIND)$,deny,log",
    "SFilter=HTTP_REFERER,evil,redirect:/spam.htm",
    "SFilter=REMOTE_ADDR,^192\\.0\\.2\\.,log",
    "Rewrite=^/gu((.a*|a*|.)?|x+b|.?)*/,Z",
    "Rewrite=^/old/(.*),/new/$1",
    "Rewrite=\\.asp$,.aspx",
    "Exclude=rules:MetaChar Semi,url:^/icons/\\?C=[NMSD];O=[AD]$",
    "Exclude=rules:*,client:10.9.0.0/16",
    "Exclude=rules:Admin SFilter#1,method:HEAD",
};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kSanitizerShare = 5;
#else
constexpr int kSanitizerShare = 1;
#endif

// Random requests: methods, clients, server names, referers, and URLs built from harmless words,
// attack pieces, encodings and stray bytes.
class RequestGenerator {
 public:
  CaseRequest Next() {
    CaseRequest r;
    r.method = Pick({"GET", "GET", "POST", "HEAD", "PUT", "TRACE", "PROPFIND", "OPTIONS", "get"});
    r.remoteAddr = Pick({"10.0.0.5", "10.9.3.4", "192.0.2.77", "198.51.100.1", "2001:db8::5",
                         "::ffff:10.9.0.1", "", "not-an-address"});
    r.remoteHost = r.remoteAddr;
    // A numeric server name is redirected by RequestByIP before anything else is looked at.
    r.serverName = Number(0, 9) > 0 ? Pick({"www.example.com", "localhost"})
                                    : Pick({"10.0.0.1", "", " 127.0.0.1 "});
    r.allHttp = "HTTP_HOST:" + r.serverName + "\n";
    const std::string referer = Pick({"", "", "http://ok.example/", "http://evil.example/"});
    if (!referer.empty()) r.allHttp += "HTTP_REFERER:" + referer + "\n";
    r.url = Pick({"/", "/index.htm", "/icons/", "/old/", "/admin/", "/gu", "/scripts/", "/a.asp",
                  "/x.php", "/cgi-bin/"});
    const int pieces = Number(0, 6);
    for (int i = 0; i < pieces; ++i) {
      r.url += Pick({"page", "?", "&", "=", "x", "a", "aaaa", "c", "?C=D;O=A", ";", "|", "!",
                     "%00", "$", "@", "%0d%0a", "%0d", "../", "..%5c", "/system32/cmd.exe",
                     "%27%20union", "' or 1=1--", "<script>", "b/", "/", ".asp", "%c0%af"});
    }
    if (Number(0, 20) == 0) r.url += std::string(static_cast<std::size_t>(Number(1, 3000)), 'a');
    if (Number(0, 30) == 0) {
      for (int i = Number(1, 8); i > 0; --i) r.url += static_cast<char>(Number(1, 255));
    }
    return r;
  }

 private:
  int Number(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  std::string Pick(std::initializer_list<const char*> choices) {
    return *(choices.begin() + Number(0, static_cast<int>(choices.size()) - 1));
  }

  std::mt19937 random_{20261211};
};

TEST(TraceAgreement, GeneratedRequests) {
  for (const bool detectionOnly : {false, true}) {
    SCOPED_TRACE(detectionOnly ? "detection-only" : "enforce");
    std::vector<std::string> config = kGeneratedConfig;
    if (detectionOnly) config.push_back("Mode=DetectionOnly");
    BothWays both(config);
    RequestGenerator generator;
    // Detection-only mode shares every step but the last with enforcing; fewer requests cover it.
    // Under the sanitizers, which run every request many times slower, a share of them.
    for (int i = 0; i < (detectionOnly ? 3000 : 10000) / kSanitizerShare; ++i) {
      const CaseRequest request = generator.Next();
      SCOPED_TRACE(request.url);
      both.Compare(request);
      if (::testing::Test::HasFailure()) return;
    }
    both.CompareLogs();
  }
}

}  // namespace
}  // namespace vell::testing
