#include "auditlog/audit_entry.h"

#include <gtest/gtest.h>

#include <string>

namespace vell {
namespace {

using namespace std::string_literals;

struct W3CCase {
  const char* name;
  std::string url;
  std::string rule;
  const char* action;
  bool enforced;
  bool detectionOnly;
  std::string line;
};
const W3CCase kW3C[] = {
    // Percent signs, commas and bytes from 0x80 up are written as they came.
    {"Literal", "/a?x=%0d%0a,b", "A", "log", true, false, "T, A, 10.0.0.5, /a?x=%0d%0a,b\r\n"},
    {"HighBytes", "/caf\xc3\xa9\xff", "A", "log", true, false, "T, A, 10.0.0.5, /caf\xc3\xa9\xff\r\n"},
    // Control bytes and DEL become %XX, so an entry never forges or breaks a line.
    {"CrLf", "/x\r\nT, Forged, 1.2.3.4, /y", "A", "deny", true, false,
     "T, A, 10.0.0.5, /x%0D%0AT, Forged, 1.2.3.4, /y\r\n"},
    {"OtherControls", "/\t\x01\x1f\x7f"s + '\0' + "z", "A", "log", true, false,
     "T, A, 10.0.0.5, /%09%01%1F%7F%00z\r\n"},
    {"InTheRuleName", "/", "A\nB", "log", true, false, "T, A%0AB, 10.0.0.5, /\r\n"},
    // Detection-only mode adds the outcome.
    {"WouldDeny", "/", "A", "deny", false, true, "T, A, 10.0.0.5, /, would-deny\r\n"},
    {"WouldRedirect", "/", "A", "redirect", false, true, "T, A, 10.0.0.5, /, would-redirect\r\n"},
    {"LogStaysLog", "/", "A", "log", false, true, "T, A, 10.0.0.5, /, log\r\n"},
    {"EnforcedInDetectionOnly", "/", "A", "deny", true, true, "T, A, 10.0.0.5, /, deny\r\n"},
};

TEST(FormatW3CEntry, Table) {
  for (const W3CCase& c : kW3C) {
    SCOPED_TRACE(c.name);
    AuditEntry entry;
    entry.ruleName = c.rule;
    entry.clientAddress = "10.0.0.5";
    entry.url = c.url;
    entry.action = c.action;
    entry.enforced = c.enforced;
    EXPECT_EQ(FormatW3CEntry(entry, "T", c.detectionOnly), c.line);
  }
}

TEST(FormatW3CHeader, DetectionOnlyNamesTheOutcomeField) {
  EXPECT_EQ(FormatW3CHeader("D", false),
            "#Software: Orvanta IIS Application Security Firewall\r\n"
            "#Version: 1.0. Please report issues to security@vell.invalid\r\n"
            "#Date: D\r\n"
            "#Fields: time, filter-name, c-ip, cs-uri-query\r\n");
  const std::string header = FormatW3CHeader("D", true);
  EXPECT_EQ(header.substr(header.find("#Fields")),
            "#Fields: time, filter-name, c-ip, cs-uri-query, x-action\r\n");
}

struct JsonStringCase {
  const char* name;
  std::string text;
  std::string json;
};
const JsonStringCase kJsonStrings[] = {
    {"Plain", "/a/b.asp?x=1&y=%27", R"("/a/b.asp?x=1&y=%27")"},
    {"QuotesAndBackslashes", R"(/"q"\..\)", R"("/\"q\"\\..\\")"},
    {"Controls", "\r\n\t\x01\x1f\x7f"s + '\0', R"("\r\n\t\u0001\u001F\u007F\u0000")"},
    // Valid UTF-8 of two, three and four bytes is kept.
    {"ValidUtf8", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
    // Every byte that is not part of a valid sequence becomes the character of its value.
    {"LoneByte", "/\xff", R"("/\u00FF")"},
    {"CutSequence", "\xe2\x82", R"("\u00E2\u0082")"},
    {"CutAtTheEnd", "a\xf0\x9f\x98", R"("a\u00F0\u009F\u0098")"},
    {"Overlong", "\xc0\xaf\xe0\x80\xaf", R"("\u00C0\u00AF\u00E0\u0080\u00AF")"},
    {"Surrogate", "\xed\xa0\x80", R"("\u00ED\u00A0\u0080")"},
    {"BeyondU10FFFF", "\xf4\x90\x80\x80", R"("\u00F4\u0090\u0080\u0080")"},
    {"ContinuationFirst", "\x80\xc3\xa9", "\"\\u0080\xc3\xa9\""},
    {"Latin1", "caf\xe9", R"("caf\u00E9")"},
};

TEST(AppendJsonString, Table) {
  for (const JsonStringCase& c : kJsonStrings) {
    SCOPED_TRACE(c.name);
    std::string out;
    AppendJsonString(out, c.text);
    EXPECT_EQ(out, c.json);
  }
}

TEST(FormatJsonEntry, AllMembersInOrderAndTheMatchedTextCut) {
  AuditEntry entry;
  entry.ruleName = "commandExe";
  entry.ruleKind = "BFilter";
  entry.clientAddress = "10.0.0.5";
  entry.host = "www.example.com";
  entry.method = "GET";
  entry.url = "/scripts/..%5c../winnt/system32/cmd.exe";
  entry.matched = "system32/cmd.exe";
  entry.action = "deny";
  entry.enforced = false;
  const platform::UtcTime time{2005, 3, 7, 9, 5, 3, 42};
  EXPECT_EQ(FormatJsonEntry(entry, time),
            R"({"time":"2005-03-07T09:05:03.042Z","rule":"commandExe","kind":"BFilter",)"
            R"("client":"10.0.0.5","host":"www.example.com","method":"GET",)"
            R"("url":"/scripts/..%5c../winnt/system32/cmd.exe","matched":"system32/cmd.exe",)"
            R"("form":"","action":"would-deny","enforced":false})"
            "\n");

  const std::string matched(kAuditMatchedLimit + 10, 'm');
  entry.matched = matched;
  const std::string line = FormatJsonEntry(entry, time);
  EXPECT_NE(line.find("\"matched\":\"" + std::string(kAuditMatchedLimit, 'm') + "\""),
            std::string::npos);
}

TEST(FormatLostNote, W3CRemarkOrJsonObject) {
  const platform::UtcTime time{2024, 1, 2, 3, 4, 5, 6};
  EXPECT_EQ(FormatLostNote(1, "open(\"x\") failed: No such file", false, time),
            "#Remark: 1 entry lost (open(\"x\") failed: No such file)\r\n");
  EXPECT_EQ(FormatLostNote(17, "why\r\n", false, time), "#Remark: 17 entries lost (why%0D%0A)\r\n");
  EXPECT_EQ(FormatLostNote(17, "w\"hy", true, time),
            "{\"time\":\"2024-01-02T03:04:05.006Z\",\"lost\":17,\"error\":\"w\\\"hy\"}\n");
}

}  // namespace
}  // namespace vell
