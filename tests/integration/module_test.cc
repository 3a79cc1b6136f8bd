// The built module as the server sees it: registration, dispatch, where config.ini is read from,
// audit log rotation at start-up, timestamps, full-length reads and concurrent logging.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <set>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

#include "loaded_filter.h"
#include "vell/vell.h"

namespace vell::testing {
namespace {

namespace fs = std::filesystem;

constexpr DWORD kNext = 0x8000002;
constexpr DWORD kError = 0x8000004;

// A request that every rule of kDenyAll denies at its first check.
std::map<std::string, std::string> NumericHostVariables() {
  return {{"SERVER_NAME", "10.0.0.1"}, {"REMOTE_ADDR", "10.0.0.5"}, {"REMOTE_HOST", "h"},
          {"REQUEST_METHOD", "GET"}, {"ALL_HTTP", "HTTP_HOST:10.0.0.1\n"}};
}
const std::vector<std::string> kDenyAll = {"BFilter=RequestByIP,enable:true,deny,log",
                                           "ServerType=WebServer/1.0"};

TEST(Registration, FlagsVersionAndDescriptionWhateverTheConfig) {
  const std::vector<std::vector<std::string>> configs = {
      {}, kDenyAll, {"garbage", "BFilter=MetaChar,enable:255"}};
  for (const auto& config : configs) {
    LoadedFilter filter({.configLines = config});
    ASSERT_EQ(filter.Start(), 1);
    EXPECT_EQ(filter.version().dwFlags, 0x84343u);
    EXPECT_EQ(filter.version().dwFilterVersion, 0x40000u);
    EXPECT_STREQ(filter.version().lpszFilterDesc, "vell Filter");
  }
}

TEST(Registration, LogPathWithoutLogSuffixStillLoadsWithoutHeader) {
  LoadedFilter filter({.configLines = {}, .auditLogInFolder = false});
  const fs::path log = filter.folder() / "audit.txt";
  WriteFile(filter.folder() / "config.ini",
            "AuditLog=" + log.string() + "\nSFilter=REMOTE_ADDR,.,deny,log\n");
  ASSERT_EQ(filter.Start(), 1);
  EXPECT_EQ(filter.version().dwFlags, 0x84343u);
  EXPECT_FALSE(fs::exists(log));
  // Entries still go to the path.
  tools::SimulatedRequest request(NumericHostVariables(), {{"url", "/x"}});
  EXPECT_EQ(filter.module().HttpFilterProc(request.context(), 0x4000, request.headersRecord()),
            kError);
  const std::vector<std::string> lines = ReadLogLines(log);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(lines[0].find(", ")), ", , 10.0.0.5, /x");
}

struct DispatchCase {
  DWORD type;
  bool callsServer;
};
const DispatchCase kDispatch[] = {
    // Registered notifications without work, single bits the filter does not handle, and
    // combinations of bits: no handler runs, nothing of the server is touched.
    {0x200, false},   {0x100, false}, {0x80, false},    {0x8000, false},    {0x2000, false},
    {0x1000, false},  {0x800, false}, {0x400, false},   {0x4000000, false}, {0x4040, false},
    {0x10000, false}, {0, false},     {0xffffffff, false},
    // The preprocessed-headers notification runs the pipeline.
    {0x4000, true},
};

TEST(Dispatch, OnlyPreprocHeadersAndSendResponseReachTheirHandlers) {
  LoadedFilter filter({.configLines = kDenyAll});
  ASSERT_EQ(filter.Start(), 1);
  for (const DispatchCase& c : kDispatch) {
    SCOPED_TRACE(c.type);
    tools::SimulatedRequest request(NumericHostVariables(), {{"url", "/"}});
    const DWORD verdict =
        filter.module().HttpFilterProc(request.context(), c.type, request.headersRecord());
    EXPECT_EQ(verdict, c.callsServer ? kError : kNext);
    EXPECT_EQ(request.calls() > 0, c.callsServer);
  }
  // Send response replaces the Server header and answers "next" on the response record.
  tools::SimulatedRequest response(NumericHostVariables(), {});
  EXPECT_EQ(filter.module().HttpFilterProc(response.context(), 0x40, response.responseRecord()),
            kNext);
  const std::vector<tools::SimulatedRequest::HeaderChange> expected = {{"Server:", "WebServer/1.0"}};
  EXPECT_EQ(response.responseHeaderChanges(), expected);
  EXPECT_TRUE(response.reads().empty());
}

TEST(Dispatch, WithoutServerTypeTheServerHeaderStays) {
  LoadedFilter filter({.configLines = {"ServerType="}});
  ASSERT_EQ(filter.Start(), 1);
  tools::SimulatedRequest response(NumericHostVariables(), {});
  EXPECT_EQ(filter.module().HttpFilterProc(response.context(), 0x40, response.responseRecord()),
            kNext);
  EXPECT_EQ(response.calls(), 0);
}

// A notification the module calls quiet changes nothing: no call back into the server, not a byte
// of the audit log, no last-error code, and the answer "next"; so a host may skip it.
TEST(Dispatch, QuietNotificationsChangeNothing) {
  constexpr DWORD kPreproc = SF_NOTIFY_PREPROC_HEADERS;
  constexpr DWORD kResponse = SF_NOTIFY_SEND_RESPONSE;
  constexpr DWORD kLogAndEnd = SF_NOTIFY_LOG | SF_NOTIFY_END_OF_NET_SESSION;
  const struct {
    std::vector<std::string> config;
    DWORD quiet;
  } configs[] = {
      {kDenyAll, kLogAndEnd},
      {{"ServerType=", "CFilter=Watch,.,log"}, kLogAndEnd | kResponse},
      {{"BFilter=MaxURLLength,enable:true,maxurllength:1,deny,log"}, kLogAndEnd | kResponse},
  };
  const std::vector<std::map<std::string, std::string>> requests = {
      NumericHostVariables(),
      {{"SERVER_NAME", "example.org"}, {"REMOTE_ADDR", "10.0.0.5"}, {"REQUEST_METHOD", "GET"},
       {"ALL_HTTP", "HTTP_REFERER:http://example.org/\n"}}};
  for (const auto& c : configs) {
    SCOPED_TRACE(c.config.empty() ? "" : c.config.front());
    LoadedFilter filter({.configLines = c.config});
    ASSERT_NE(filter.module().getQuietNotifications, nullptr);
    EXPECT_EQ(filter.module().getQuietNotifications(), 0u);  // not started yet
    ASSERT_EQ(filter.Start(), 1);
    const DWORD quiet = filter.module().getQuietNotifications();
    EXPECT_EQ(quiet, c.quiet);
    for (const auto& variables : requests) {
      for (DWORD type : {kPreproc, kResponse, DWORD{SF_NOTIFY_LOG}, DWORD{SF_NOTIFY_END_OF_NET_SESSION}}) {
        if ((quiet & type) == 0) continue;
        SCOPED_TRACE(type);
        tools::SimulatedRequest request(variables, {{"url", "/a?b=c"}});
        const std::string logBefore = ReadFile(filter.auditLogPath());
        void* record = type == kResponse ? static_cast<void*>(request.responseRecord())
                                         : static_cast<void*>(request.headersRecord());
        EXPECT_EQ(filter.module().HttpFilterProc(request.context(), type, record), kNext);
        EXPECT_EQ(request.calls(), 0);
#ifndef _WIN32
        EXPECT_EQ(filter.module().LastError(), 0u);
#endif
        EXPECT_EQ(ReadFile(filter.auditLogPath()), logBefore);
      }
    }
  }
}

// The nginx host names the rule that refused a request through VellGetDecidingRule.
TEST(Dispatch, DecidingRuleOfTheThreadsLastDecidedRequest) {
  LoadedFilter filter({.configLines = {"SFilter=REQUEST_METHOD,^TRACE$,deny",
                                       "CFilter=Admin,^/admin,redirect:/no"}});
  ASSERT_EQ(filter.Start(), 1);
  ASSERT_NE(filter.module().getDecidingRule, nullptr);
  struct Step {
    const char* method;
    const char* url;
    const char* rule;
  };
  // A request no rule decides leaves the name of the last one that did.
  for (const Step& step : {Step{"GET", "/admin/", "Admin"}, Step{"GET", "/", "Admin"},
                           Step{"TRACE", "/", "SFilter#1"}}) {
    auto variables = NumericHostVariables();
    variables["SERVER_NAME"] = "www.example.com";
    variables["REQUEST_METHOD"] = step.method;
    tools::SimulatedRequest request(variables, {{"url", step.url}});
    filter.module().HttpFilterProc(request.context(), SF_NOTIFY_PREPROC_HEADERS,
                                   request.headersRecord());
    EXPECT_STREQ(filter.module().getDecidingRule(), step.rule) << step.method << " " << step.url;
  }
}

// The configuration comes from the folder of the module file, whatever its name and path length.
struct LocationCase {
  std::string moduleName;
  std::string subfolder;
};

TEST(StartUp, ReadsConfigNextToTheModuleWhateverItsNameAndPath) {
  const std::string longFolder = std::string(70, 'd') + "/" + std::string(70, 'e');
  const std::string ext = fs::path(BuiltModuleName()).extension().string();
  const LocationCase cases[] = {
      {"Vell" + ext, longFolder},
      {"VELL" + ext, ""},
      {"filter-vell" + ext + ext, "vell" + ext},
      {BuiltModuleName(), longFolder},
  };
  for (const LocationCase& c : cases) {
    SCOPED_TRACE(c.moduleName + " in " + c.subfolder);
    LoadedFilter filter({.configLines = kDenyAll, .moduleName = c.moduleName, .subfolder = c.subfolder});
    if (c.subfolder.size() > 100) {
      EXPECT_GT((filter.folder() / c.moduleName).string().size(), 140u);
    }
    ASSERT_EQ(filter.Start(), 1);
    tools::SimulatedRequest request(NumericHostVariables(), {{"url", "/"}});
    EXPECT_EQ(filter.module().HttpFilterProc(request.context(), 0x4000, request.headersRecord()),
              kError);
    EXPECT_EQ(ReadLogEntries(filter.auditLogPath()).size(), 1u);
  }
}

// Earlier logs move one generation up, highest first; the chain stops at the first gap.
struct RotationCase {
  const char* name;
  std::vector<std::string> before;  // files present: audit.log, audit1.log, ...; "" for none
  std::vector<std::string> after;   // contents expected of audit1.log, audit2.log, ...; "" none
};
const RotationCase kRotation[] = {
    {"NoEarlierFile", {}, {""}},
    {"ChainOfThree", {"zero", "one", "two"}, {"zero", "one", "two", ""}},
    {"GapStopsTheChain", {"zero", "", "two"}, {"zero", "two", ""}},
};

TEST(StartUp, RotatesEarlierLogsAndWritesAFreshHeader) {
  for (const RotationCase& c : kRotation) {
    SCOPED_TRACE(c.name);
    LoadedFilter filter({.configLines = {}});
    auto generation = [&](std::size_t g) {
      return filter.folder() / (g == 0 ? std::string("audit.log") : "audit" + std::to_string(g) + ".log");
    };
    for (std::size_t g = 0; g < c.before.size(); ++g) {
      if (!c.before[g].empty()) WriteFile(generation(g), c.before[g]);
    }
    ASSERT_EQ(filter.Start(), 1);
    EXPECT_TRUE(ReadLogEntries(generation(0)).empty());
    EXPECT_EQ(ReadLogLines(generation(0)).size(), 4u);
    for (std::size_t g = 0; g < c.after.size(); ++g) {
      SCOPED_TRACE(g + 1);
      if (c.after[g].empty()) {
        EXPECT_FALSE(fs::exists(generation(g + 1)));
      } else {
        EXPECT_EQ(ReadFile(generation(g + 1)), c.after[g]);
      }
    }
  }
}

VELL_LOAD_REPORT LoadReportOf(LoadedFilter& filter) {
  VELL_LOAD_REPORT report{};
  report.cbSize = sizeof report;
  const auto get = reinterpret_cast<BOOL(WINAPI*)(VELL_LOAD_REPORT*)>(filter.module().FindExport("VellGetLoadReport"));
  EXPECT_NE(get, nullptr);
  if (get != nullptr) {
    EXPECT_EQ(get(&report), 1);
  }
  return report;
}

// The module's folder may have any name, also characters outside the system's code page.
TEST(StartUp, ReadsConfigInAFolderWithAnyCharacters) {
  const std::u8string folder = u8"vell-\u4e2d\u6587-\u0436-\u00e9";
  LoadedFilter filter({.configLines = kDenyAll, .auditLogInFolder = false, .subfolder = fs::path(folder)});
  ASSERT_EQ(filter.Start(), 1);
  tools::SimulatedRequest request(NumericHostVariables(), {{"url", "/"}});
  EXPECT_EQ(filter.module().HttpFilterProc(request.context(), 0x4000, request.headersRecord()), kError);
  const VELL_LOAD_REPORT report = LoadReportOf(filter);
  EXPECT_EQ(report.configRead, 1u);
  EXPECT_EQ(report.errors, 0u);
  // The path as the module found it, in UTF-8.
  const std::string path = report.configPath;
  EXPECT_NE(path.find(std::string(folder.begin(), folder.end())), std::string::npos) << path;
  ASSERT_GT(path.size(), 10u);
  EXPECT_EQ(path.substr(path.size() - 10), "config.ini");
}

// A filter without its config says so in the load report (and on Windows in the event log).
TEST(StartUp, MissingConfigIsAnErrorOfTheLoadReport) {
  LoadedFilter filter({.configLines = {}, .auditLogInFolder = false});
  ASSERT_EQ(filter.Start(), 1);
  const VELL_LOAD_REPORT report = LoadReportOf(filter);
  EXPECT_EQ(report.configRead, 0u);
  EXPECT_EQ(report.errors, 1u);
  EXPECT_EQ(std::string(report.firstError), std::string(report.configPath) + ": No such file or directory");
}

TEST(StartUp, NoConfigFileMeansNoRulesAndNoLog) {
  LoadedFilter filter({.configLines = {}, .auditLogInFolder = false});
  ASSERT_EQ(filter.Start(), 1);
  tools::SimulatedRequest request(NumericHostVariables(), {{"url", "/system32/cmd.exe;"}});
  EXPECT_EQ(filter.module().HttpFilterProc(request.context(), 0x4000, request.headersRecord()),
            kNext);
  EXPECT_EQ(filter.module().LastError(), 0u);
}

// Local time in whole seconds, from the clock the filter itself reads (GetLocalTime on Windows),
// and the audit log's timestamp of such a second: MM/dd/yyyy, then H:M:S without leading zeros.
#ifdef _WIN32
constexpr long long kTicksPerSecond = 10000000;
long long LocalSecondsNow() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  FILETIME ticks{};
  SystemTimeToFileTime(&now, &ticks);
  return ((static_cast<long long>(ticks.dwHighDateTime) << 32) | ticks.dwLowDateTime) /
         kTicksPerSecond;
}
std::string TimestampOf(long long seconds) {
  const unsigned long long ticks = static_cast<unsigned long long>(seconds) * kTicksPerSecond;
  FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME t{};
  FileTimeToSystemTime(&time, &t);
  char text[64];
  std::snprintf(text, sizeof text, "%02u/%02u/%04u %u:%u:%u", t.wMonth, t.wDay, t.wYear, t.wHour,
                t.wMinute, t.wSecond);
  return text;
}
#else
long long LocalSecondsNow() { return std::time(nullptr); }
std::string TimestampOf(long long seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm t{};
  localtime_r(&time, &t);
  char text[64];
  std::snprintf(text, sizeof text, "%02d/%02d/%04d %d:%d:%d", t.tm_mon + 1, t.tm_mday,
                t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}
#endif

// The header's date and every entry's time are the local date and time when they were written,
// month first. On Windows the date is GetDateFormatA's for the system's default locale; under wine
// that locale follows the host's LANG/LC_ALL, and wine formats the fixed picture MM/dd/yyyy with
// the Gregorian calendar. Windows uses the locale's own calendar, so on a system whose default
// locale has another calendar (Thai Buddhist, Hijri, Japanese era) the date differs from this
// expectation and from what wine writes.
TEST(AuditLog, TimestampsAreTheLocalDateAndTimeMonthFirst) {
  LoadedFilter filter({.configLines = {"CFilter=Probe,^/probe,deny,log"}});
  const long long before = LocalSecondsNow();
  ASSERT_EQ(filter.Start(), 1);
  tools::SimulatedRequest request(NumericHostVariables(), {{"url", "/probe"}});
  EXPECT_EQ(filter.module().HttpFilterProc(request.context(), 0x4000, request.headersRecord()),
            kError);
  const long long after = LocalSecondsNow();
  std::set<std::string> expected;
  for (long long second = before; second <= after; ++second) expected.insert(TimestampOf(second));

  const std::vector<std::string> lines = ReadLogLines(filter.auditLogPath());
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_TRUE(expected.count(lines[2].substr(7))) << lines[2] << ", expected " << *expected.begin();
  EXPECT_TRUE(expected.count(lines[4].substr(0, lines[4].find(", "))))
      << lines[4] << ", expected " << *expected.begin();
}

TEST(Reads, ValueLongerThanTheFirstBufferIsReadAgainWhole) {
  LoadedFilter filter({.configLines = {"BFilter=commandExe,deny,log"}});
  ASSERT_EQ(filter.Start(), 1);
  const std::string url = "/" + std::string(3000, 'a') + "/system32/cmd.exe";
  auto variables = NumericHostVariables();
  variables["SERVER_NAME"] = "www.example.com";
  tools::SimulatedRequest request(variables, {{"url", url}});
  EXPECT_EQ(filter.module().HttpFilterProc(request.context(), 0x4000, request.headersRecord()),
            kError);
  // Refused once for want of room, then read whole: by the check and by the audit line.
  const std::vector<std::string> expected = {
      "SERVER_NAME", "REMOTE_ADDR", "REMOTE_HOST", "REQUEST_METHOD", "ALL_HTTP",
      "header:url",  "header:url",  "REMOTE_ADDR", "header:url",     "header:url"};
  EXPECT_EQ(request.reads(), expected);
  EXPECT_EQ(ReadLogEntries(filter.auditLogPath()),
            std::vector<std::string>{"commandExe, 10.0.0.5, " + url});
}

TEST(Reads, MissingValuesReadAsEmptyNotAsAnEarlierValue) {
  // Without REMOTE_HOST and with no url header, the earlier reads' bytes must not stand in.
  LoadedFilter filter({.configLines = {"SFilter=REMOTE_HOST,10,deny", "CFilter=A,.,deny,log"}});
  ASSERT_EQ(filter.Start(), 1);
  tools::SimulatedRequest request(
      {{"SERVER_NAME", "www.example.com"}, {"REMOTE_ADDR", "10.0.0.5"}, {"REQUEST_METHOD", "GET"}},
      {});
  EXPECT_EQ(filter.module().HttpFilterProc(request.context(), 0x4000, request.headersRecord()),
            kNext);
  EXPECT_TRUE(ReadLogEntries(filter.auditLogPath()).empty());
}

TEST(Concurrency, ParallelHitsWriteWholeLines) {
  LoadedFilter filter({.configLines = {"CFilter=Probe,^/probe,deny,log"}});
  ASSERT_EQ(filter.Start(), 1);
  constexpr int kThreads = 8;
  constexpr int kHits = 500;
  std::vector<std::thread> threads;
  std::atomic<int> wrongVerdicts{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kHits; ++i) {
        const std::string url = "/probe/" + std::to_string(t) + "/" + std::to_string(i);
        tools::SimulatedRequest request(
            {{"SERVER_NAME", "www.example.com"}, {"REMOTE_ADDR", "10.0.0." + std::to_string(t)},
             {"REMOTE_HOST", "h"}, {"REQUEST_METHOD", "GET"}, {"ALL_HTTP", ""}},
            {{"url", url}});
        if (filter.module().HttpFilterProc(request.context(), 0x4000, request.headersRecord()) !=
                kError ||
            filter.module().LastError() != 87) {
          ++wrongVerdicts;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrongVerdicts.load(), 0);
  const std::vector<std::string> entries = ReadLogEntries(filter.auditLogPath());
  ASSERT_EQ(entries.size(), static_cast<std::size_t>(kThreads * kHits));
  std::set<std::string> distinct;
  for (const std::string& entry : entries) {
    // Each line whole: "Probe, 10.0.0.T, /probe/T/I" with the same T twice.
    const std::size_t addr = entry.find("10.0.0.");
    ASSERT_EQ(entry.rfind("Probe, 10.0.0.", 0), 0u) << entry;
    const std::string t = entry.substr(addr + 7, 1);
    EXPECT_EQ(entry.substr(addr + 8, 9 + t.size()), ", /probe/" + t) << entry;
    distinct.insert(entry);
  }
  EXPECT_EQ(distinct.size(), entries.size());
}

// Eight threads through the exports at once, each sending benign, denied, logged, rewritten and
// given-up requests in turn: every verdict and URL change as for a single thread, and one whole
// audit line per logged request. The ThreadSanitizer build runs it too.
TEST(Concurrency, HammerMixedRequests) {
  LoadedFilter filter({.configLines = {"BFilter=commandExe,deny,log", "SFilter=REMOTE_ADDR,^10\\.66\\.,deny",
                                       "CFilter=Watch,^/watch,log", "CFilter=Explode,(^|x+x+)+y,deny",
                                       "Rewrite=^/old/(.*),/new/$1", "ServerType=Hammer/1.0"}});
  ASSERT_EQ(filter.Start(), 1);
  struct Kind {
    std::string url;
    std::string remoteAddr;
    DWORD verdict;
    std::string newUrl;  // "" for none
    bool logged;
  };
  const std::string explode = "/" + std::string(30, 'x') + " xxy";
  const Kind kKinds[] = {
      {"/index.htm", "10.0.0.1", kNext, "", false},
      {"/scripts/system32/cmd.exe", "10.0.0.1", kError, "", true},
      {"/index.htm", "10.66.0.9", kError, "", false},
      {"/watch/this", "10.0.0.1", kNext, "", true},
      {"/old/page.htm", "10.0.0.1", 0x8000003, "/new/page.htm", false},
      {explode, "10.0.0.1", kError, "", true},
  };
  constexpr int kThreads = 8;
  constexpr int kRounds = 60;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        const Kind& kind = kKinds[static_cast<std::size_t>(t + i) % std::size(kKinds)];
        tools::SimulatedRequest request({{"SERVER_NAME", "www.example.com"}, {"REMOTE_ADDR", kind.remoteAddr},
                                         {"REMOTE_HOST", "h"}, {"REQUEST_METHOD", "GET"}, {"ALL_HTTP", ""}},
                                        {{"url", kind.url}});
        const DWORD verdict =
            filter.module().HttpFilterProc(request.context(), 0x4000, request.headersRecord());
        const auto& changes = request.requestHeaderChanges();
        const std::string newUrl = changes.empty() ? "" : changes.back().value;
        tools::SimulatedRequest response({}, {});
        filter.module().HttpFilterProc(response.context(), 0x40, response.responseRecord());
        if (verdict != kind.verdict || newUrl != kind.newUrl || response.responseHeaderChanges().size() != 1) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  std::size_t expectedLines = 0;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kRounds; ++i) expectedLines += kKinds[static_cast<std::size_t>(t + i) % std::size(kKinds)].logged;
  }
  const std::vector<std::string> entries = ReadLogEntries(filter.auditLogPath());
  EXPECT_EQ(entries.size(), expectedLines);
  for (const std::string& entry : entries) {
    EXPECT_TRUE(entry.rfind("commandExe, 10.0.0.1, /scripts/", 0) == 0 || entry.rfind("Watch, 10.0.0.1, /watch", 0) == 0 ||
                entry == "Explode (pattern gave up), 10.0.0.1, " + explode)
        << entry;
  }
}

}  // namespace
}  // namespace vell::testing
