// The audit log as the module writes it through its exports: JSON lines, loads that must not
// touch the log, reopening after logrotate, the bound on generations and a full file system.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

#include "loaded_filter.h"
#include "vell/vell.h"

namespace vell::testing {
namespace {

namespace fs = std::filesystem;

constexpr DWORD kNext = 0x8000002;
constexpr DWORD kError = 0x8000004;

DWORD Hit(LoadedFilter& filter, const std::string& url) {
  tools::SimulatedRequest request({{"SERVER_NAME", "www.example.com"}, {"REMOTE_ADDR", "10.0.0.5"},
                                   {"REMOTE_HOST", "h"}, {"REQUEST_METHOD", "POST"},
                                   {"ALL_HTTP", ""}},
                                  {{"url", url}});
  return filter.module().HttpFilterProc(request.context(), SF_NOTIFY_PREPROC_HEADERS,
                                        request.headersRecord());
}

template <typename Function>
Function ExportOf(LoadedFilter& filter, const char* name) {
  return reinterpret_cast<Function>(filter.module().FindExport(name));
}

std::size_t CountOf(const std::string& text, const std::string& piece) {
  std::size_t count = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
  return count;
}

TEST(AuditLogModule, LoadThatMustNotTouchTheLogWritesNothing) {
  LoadedFilter filter({.configLines = {"CFilter=A,^/a,deny,log"}});
  WriteFile(filter.auditLogPath(), "earlier\r\n");
  const auto setStartOptions = ExportOf<void(WINAPI*)(DWORD)>(filter, "VellSetStartOptions");
  ASSERT_NE(setStartOptions, nullptr);
  setStartOptions(VELL_START_NO_AUDIT_LOG);
  ASSERT_EQ(filter.Start(), 1);
  // The rules are in force; the log is neither rotated, nor given a header, nor written.
  EXPECT_EQ(Hit(filter, "/a"), kError);
  EXPECT_EQ(ReadFile(filter.auditLogPath()), "earlier\r\n");
  EXPECT_FALSE(fs::exists(filter.folder() / "audit1.log"));
}

TEST(AuditLogModule, ReopenStartsANewFileAfterTheLogWasMovedAway) {
  LoadedFilter filter({.configLines = {"CFilter=A,^/a,log"}});
  ASSERT_EQ(filter.Start(), 1);
  const auto reopen = ExportOf<BOOL(WINAPI*)()>(filter, "VellReopenAuditLog");
  ASSERT_NE(reopen, nullptr);
  EXPECT_EQ(Hit(filter, "/a/1"), kNext);
  // logrotate's way: rename, then ask the server to reopen its logs.
  fs::rename(filter.auditLogPath(), filter.folder() / "audit.log.1");
  EXPECT_EQ(Hit(filter, "/a/2"), kNext);
  EXPECT_EQ(reopen(), 1);
  EXPECT_EQ(Hit(filter, "/a/3"), kNext);
  EXPECT_EQ(ReadLogEntries(filter.folder() / "audit.log.1"),
            (std::vector<std::string>{"A, 10.0.0.5, /a/1", "A, 10.0.0.5, /a/2"}));
  EXPECT_EQ(ReadLogEntries(filter.auditLogPath()), std::vector<std::string>{"A, 10.0.0.5, /a/3"});
}

TEST(AuditLogModule, KeepBoundsTheFilesOfRepeatedLoads) {
  LoadedFilter filter({.configLines = {"AuditLogKeep=2"}});
  for (int load = 0; load < 5; ++load) ASSERT_EQ(filter.Start(), 1);
  EXPECT_TRUE(fs::exists(filter.folder() / "audit.log"));
  EXPECT_TRUE(fs::exists(filter.folder() / "audit1.log"));
  EXPECT_TRUE(fs::exists(filter.folder() / "audit2.log"));
  EXPECT_FALSE(fs::exists(filter.folder() / "audit3.log"));
}

TEST(AuditLogModule, WithoutRotationEveryLoadAppendsItsHeaderToOneFile) {
  LoadedFilter filter({.configLines = {"AuditLogRotate=none", "CFilter=A,^/a,log"}});
  ASSERT_EQ(filter.Start(), 1);
  EXPECT_EQ(Hit(filter, "/a"), kNext);
  ASSERT_EQ(filter.Start(), 1);
  EXPECT_EQ(Hit(filter, "/a"), kNext);
  const std::string text = ReadFile(filter.auditLogPath());
  EXPECT_EQ(CountOf(text, "#Software: "), 2u);
  EXPECT_EQ(CountOf(text, ", A, 10.0.0.5, /a\r\n"), 2u);
  EXPECT_FALSE(fs::exists(filter.folder() / "audit1.log"));
}

#ifndef _WIN32
// Each JSON line is checked by Python's own parser, as a log shipper would read it, and the URL
// read back from it is compared with the bytes that arrived.
TEST(AuditLogModule, JsonLinesParseWhateverBytesTheUrlHolds) {
  struct UrlCase {
    std::string url;
    bool utf8;  // read back as UTF-8; otherwise each character is one byte
  };
  const UrlCase cases[] = {
      {"/a?q=\"quoted\"&p=C:\\dir\\", true},
      {"/a\r\n{\"forged\":1}\t\x01\x7f" "end", true},
      {"/a/caf\xc3\xa9/\xe2\x82\xac", true},
      {"/a/\xff\xfe\xc0\xaf\xed\xa0\x80", false},
      {"/a/" + std::string(32 * 1024, 'x') + "\x80", false},
  };
  LoadedFilter filter({.configLines = {"AuditLogFormat=json", "CFilter=A,^/a,deny,log"}});
  ASSERT_EQ(filter.Start(), 1);
  std::string expected;
  for (const UrlCase& c : cases) {
    EXPECT_EQ(Hit(filter, c.url), kError);
    expected += c.utf8 ? "utf8 " : "bytes ";
    for (const char byte : c.url) {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(byte));
      expected += hex;
    }
    expected += "\n";
  }
  const fs::path expectedPath = filter.folder() / "expected.txt";
  WriteFile(expectedPath, expected);
  const std::string text = ReadFile(filter.auditLogPath());
  ASSERT_EQ(CountOf(text, "\n"), std::size(cases));

  std::size_t at = 0;
  for (int n = 0; at < text.size(); ++n) {
    const std::size_t end = text.find('\n', at) + 1;
    const fs::path line = filter.folder() / ("line" + std::to_string(n) + ".json");
    WriteFile(line, text.substr(at, end - at));
    at = end;
    EXPECT_EQ(std::system(("python3 -m json.tool '" + line.string() + "' >/dev/null").c_str()), 0)
        << "line " << n;
  }
  const char* kReadBack = R"(
import json, sys
log = open(sys.argv[1], 'rb').read().split(b'\n')[:-1]
want = open(sys.argv[2]).read().split('\n')[:-1]
assert len(log) == len(want), (len(log), len(want))
for line, expected in zip(log, want):
    entry = json.loads(line)
    assert (entry['rule'], entry['host'], entry['method'], entry['action'], entry['enforced']) == \
        ('A', 'www.example.com', 'POST', 'deny', True), entry
    mode, hex = expected.split(' ')
    url = entry['url']
    got = url.encode('utf-8') if mode == 'utf8' else bytes(ord(c) for c in url)
    assert got.hex() == hex, (got[:80], bytes.fromhex(hex)[:80])
)";
  const fs::path script = filter.folder() / "read_back.py";
  WriteFile(script, kReadBack);
  EXPECT_EQ(std::system(("python3 '" + script.string() + "' '" + filter.auditLogPath().string() +
                         "' '" + expectedPath.string() + "'")
                            .c_str()),
            0);
}

// A JSON entry says which list a rule belongs to, what it matched, where a deep rule found it, and
// whether detection-only mode held the verdict back.
TEST(AuditLogModule, JsonEntriesNameTheKindTheMatchAndTheDecodedForm) {
  struct Expected {
    const char* url;
    const char* rule;
    const char* kind;
    const char* matched;
    const char* form;  // a part of it
  };
  const Expected kEntries[] = {
      {"/item.php?id=1%27%20or%201=1--", "DeepSQLi", "DFilter", "1' or 1=1--",
       "argument \"id\" value, libinjection"},
      {"/show?file=..%c0%af..%c0%afetc%c0%afpasswd", "DirectoryTraversal", "BFilter", "/..",
       "decoded form"},
      {"/scripts/system32/cmd.exe", "commandExe", "BFilter", "system32/cmd.exe", ""},
  };
  for (const bool detectionOnly : {false, true}) {
    std::vector<std::string> config = {"AuditLogFormat=json", "DeepInspection=on",
                                       "BFilter=commandExe,deny,log",
                                       "BFilter=DirectoryTraversal,deny,log",
                                       "DFilter=DeepSQLi,deny,log"};
    if (detectionOnly) config.push_back("Mode=DetectionOnly");
    LoadedFilter filter({.configLines = config});
    ASSERT_EQ(filter.Start(), 1);
    std::string expected;
    for (const Expected& e : kEntries) {
      EXPECT_EQ(Hit(filter, e.url), detectionOnly ? kNext : kError) << e.url;
      expected += std::string(e.rule) + "\t" + e.kind + "\t" + e.matched + "\t" + e.form + "\n";
    }
    const fs::path expectedPath = filter.folder() / "expected.txt";
    WriteFile(expectedPath, expected);
    const char* kCompare = R"(
import json, sys
entries = [json.loads(line) for line in open(sys.argv[1], encoding='utf-8')]
want = [line.split('\t') for line in open(sys.argv[2], encoding='utf-8').read().split('\n')[:-1]]
assert len(entries) == len(want), (entries, want)
held = sys.argv[3] == '1'
for entry, (rule, kind, matched, form) in zip(entries, want):
    assert (entry['rule'], entry['kind'], entry['matched']) == (rule, kind, matched), entry
    assert form in entry['form'], (form, entry)
    assert (entry['action'], entry['enforced']) == (('would-deny', False) if held else ('deny', True)), entry
)";
    const fs::path script = filter.folder() / "compare.py";
    WriteFile(script, kCompare);
    EXPECT_EQ(std::system(("python3 '" + script.string() + "' '" + filter.auditLogPath().string() +
                           "' '" + expectedPath.string() + "' " + (detectionOnly ? "1" : "0"))
                              .c_str()),
              0);
  }
}

// The log on a file system that is full: RLIMIT_FSIZE stands in for it, as the kernel answers a
// write beyond it like one beyond the free space (a short write, then an error).
TEST(AuditLogModule, FullFileSystemLosesNoRequestAndTheLossIsNotedOnceThereIsRoom) {
  LoadedFilter filter({.configLines = {"CFilter=A,^/a,deny,log"}});
  ASSERT_EQ(filter.Start(), 1);
  EXPECT_EQ(Hit(filter, "/a/first"), kError);
  const std::string url = "/a/" + std::string(300, 'f');

  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto savedSignal = signal(SIGXFSZ, SIG_IGN);
  rlimit full = saved;
  full.rlim_cur = fs::file_size(filter.auditLogPath()) + 1000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
  constexpr int kHits = 20;
  int denied = 0;
  for (int i = 0; i < kHits; ++i) denied += Hit(filter, url) == kError;
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, savedSignal);
  EXPECT_EQ(denied, kHits);

  EXPECT_EQ(Hit(filter, "/a/after"), kError);
  // Header, entries that fit, maybe one entry cut short by the limit, the note, the last entry.
  const std::vector<std::string> lines = ReadLogLines(filter.auditLogPath());
  ASSERT_GT(lines.size(), 6u);
  EXPECT_EQ(lines.back().substr(lines.back().find(", ")), ", A, 10.0.0.5, /a/after");
  const std::string& note = lines[lines.size() - 2];
  std::size_t whole = 0;
  for (std::size_t i = 5; i + 2 < lines.size(); ++i) {
    whole += lines[i].size() > url.size() &&
             lines[i].compare(lines[i].size() - url.size() - 2, url.size() + 2, ", " + url) == 0;
  }
  EXPECT_EQ(note, "#Remark: " + std::to_string(kHits - whole) + " entries lost (write(\"" +
                      filter.auditLogPath().string() + "\") failed: File too large)");
  EXPECT_GE(whole, 2u);
}
#endif

}  // namespace
}  // namespace vell::testing
