#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "tools/commands.h"

namespace vell::tools {
namespace {

namespace fs = std::filesystem;

struct CheckResult {
  int status = -1;
  std::string out;
  std::string err;
};

CheckResult Check(const std::string& path) {
  std::ostringstream out, err;
  CheckResult result;
  result.status = CheckConfigFile(path, out, err);
  result.out = out.str();
  result.err = err.str();
  return result;
}

CheckResult CheckCase(const std::string& file) { return Check(std::string(VELL_TEST_DATA) + "/check/" + file); }

TEST(VellCheck, CleanFileListsRulesInEvaluationOrder) {
  const CheckResult result = CheckCase("clean.ini");
  EXPECT_EQ(result.status, 0) << result.out;
  const char* kInOrder[] = {"REMOTE_ADDR matches ^10\\.", "commandExe", "MaxURLLength", "MetaChar:",
                            "Admin: URL matches ^/admin", "^/old/(.*)  => /new/$1"};
  std::size_t at = 0;
  for (const char* piece : kInOrder) {
    const std::size_t found = result.out.find(piece, at);
    ASSERT_NE(found, std::string::npos) << piece << "\n" << result.out;
    at = found;
  }
  EXPECT_NE(result.out.find("default actions (deny, log)"), std::string::npos);
  EXPECT_NE(result.out.find("rules in force:  6"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("0 errors, 0 warnings"), std::string::npos);
}

TEST(VellCheck, NamesEachMistakeWithItsFullPathAndLine) {
  const CheckResult result = CheckCase("mistakes.ini");
  EXPECT_EQ(result.status, 1) << result.out;
  const std::string file = fs::absolute(std::string(VELL_TEST_DATA) + "/check/mistakes.ini").lexically_normal().string();
  const char* kFindings[] = {
      ":2: warning: AuditLog \"audit.txt\" has no \".log\"",
      ":3: error: \"Log\" is not an action (action words are lower case: \"log\")",
      ":4: error: unknown key \"Bfilter\" (keys are case-sensitive; did you mean \"BFilter\"?)",
      ":5: error: BFilter name \"SQLInjection5\" is not a built-in signature",
      ":6: error: BFilter name \"sqlinjection1\" is not a built-in signature (names are "
      "case-sensitive; did you mean \"SQLInjection1\"?)",
      ":7: error: RequestByIP is not switched on",
      ":8: error: MetaChar has no mask",
      ":9: error: CFilter pattern \"^/admin(\" does not compile",
      ":10: error: \"Deny\" is not an action",
      ":11: error: SFilter variable \"remote_addr\"",
      ":12: error: Rewrite pattern \"(old\" does not compile",
      ":14: warning: \"Deny\" renames the rule from \"CodeRed\" to \"Deny\"",
      ":15: warning: CFilter pattern \"\\<(cmd|\\.exe)\" is left to the backtracking engine",
      ":16: error: Mode \"detectionOnly\" is neither Enforce nor DetectionOnly (the words are "
      "case-sensitive; did you mean \"DetectionOnly\"?): the filter enforces",
      ":17: error: Exclude token \"uri:^/x\" is not rules:, url:, client:, host: or method:",
      ":18: warning: Exclude names \"Admn\", which is no rule of this file",
      ":19: warning: Exclude has no condition that narrows it: it takes every rule away from every "
      "request",
      ":20: error: Exclude client \"10.0.0.0/33\" is not an IPv4 or IPv6 address",
  };
  for (const char* finding : kFindings) {
    EXPECT_NE(result.out.find(file + finding), std::string::npos) << finding << "\n" << result.out;
  }
}

std::string Utf16(const std::string& text) {
  std::string out = "\xFF\xFE";
  for (char c : text) {
    out += c;
    out += '\0';
  }
  return out;
}

std::string RandomBytes(std::size_t count) {
  std::mt19937 generator(16);
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += static_cast<char>(generator() & 0xFF);
  return out;
}

struct BrokenConfig {
  const char* name;
  std::string text;
  int status;
  const char* message;  // in the report, or on the error stream for status 2
};

// Each config's folder is a fresh one, so "audit.log" names a folder that exists.
const BrokenConfig kBroken[] = {
    // Lines the loader ignores: keys misspelt or in another case.
    {"Misspelt", "BFliter=CodeRed,deny\n", 1, ":1: error: unknown key \"BFliter\" (did you mean \"BFilter\"?)"},
    {"SFilterCase", "BFilter=CodeRed\nSfilter=REMOTE_ADDR,^10\\.,deny\n", 1,
     ":2: error: unknown key \"Sfilter\" (keys are case-sensitive; did you mean \"SFilter\"?)"},
    {"AuditLogCase", "Auditlog=audit.log\nBFilter=CodeRed\n", 1, ":1: error: unknown key \"Auditlog\""},
    // Files that give the filter nothing to do.
    {"RandomBytes", RandomBytes(3000), 1, ": error: no rule in force"},
    {"Empty", "", 1, ": error: no rule in force"},
    {"Utf16", Utf16("BFilter=CodeRed\r\nBFilter=commandExe\r\n"), 1, ":1: error: the file is UTF-16 text"},
    {"ByteOrderMark", "\xEF\xBB\xBF" "BFilter=CodeRed\nBFilter=commandExe\n", 1,
     ":1: error: the file starts with a UTF-8 byte-order mark"},
    // Weakened values.
    {"NoLogFolder", "AuditLog=/nonexistent/dir/audit.log\nBFilter=CodeRed\n", 1,
     ":1: error: the AuditLog folder \"/nonexistent/dir\" does not exist"},
    {"EnableWithBlank", "BFilter=RequestByIP,enable: true\n", 1,
     ":1: error: \"enable: true\" is read as the number 0 (write enable:true or enable:false"},
    {"LimitNotANumber", "BFilter=MaxURLLength:512x\n", 1,
     ":1: error: \"MaxURLLength:512x\" is not a whole number; the limit is read as 512"},
    {"NulInLine", std::string("BFilter=CodeRed\nCFilter=A,^/a") + '\0' + "b,deny\n", 1,
     ":2: error: a NUL byte cuts this line short"},
    {"ActionTypo", "BFilter=CodeRed,dney\n", 1, ":1: warning: \"dney\" renames the rule"},
    // What works but is likely not meant: warnings, exit 0.
    {"ClassName", "CFilter=Letters,^/[[:alpha:]]+$,deny\n", 0,
     ":1: warning: CFilter pattern \"^/[[:alpha:]]+$\": \"[:alpha:]\" is not a class here"},
    {"RedirectWithoutTarget", "BFilter=CodeRed,redirect\n", 0,
     ":1: warning: redirect has no target: the URL is replaced by the text \"redirect\""},
    {"RedirectEmptyTarget", "DefaultAction=redirect:\nBFilter=CodeRed\n", 0,
     ":1: warning: redirect has no target: the URL is replaced by an empty text"},
    {"EnableOnSignature", "BFilter=CodeRed,enable:false,deny\n", 0,
     ":1: warning: \"enable:false\" has no effect on a signature rule"},
};

TEST(VellCheck, NamesAuditLogValuesTheLoaderIgnores) {
  const CheckResult result = CheckCase("audit-keys.ini");
  EXPECT_EQ(result.status, 1) << result.out;
  const char* kFindings[] = {
      ":4: error: AuditLogFormat \"xml\" is not \"w3c\" or \"json\"",
      ":6: error: AuditLogRotate \"weekly\" is not \"none\", or \"load\" and \"daily\"",
      ":8: error: AuditLogMaxSize \"100 parsecs\" is not a size",
      ":10: error: AuditLogKeep \"0\" is not a number from 1 to 9999999",
      "audit log:       audit.log (json, new file daily and at 100 MB, 30 earlier files kept)",
  };
  for (const char* finding : kFindings) {
    EXPECT_NE(result.out.find(finding), std::string::npos) << finding << "\n" << result.out;
  }
}

TEST(VellCheck, BrokenConfigs) {
  for (const BrokenConfig& c : kBroken) {
    SCOPED_TRACE(c.name);
    const fs::path folder = fs::temp_directory_path() / ("vell_check_" + std::string(c.name));
    fs::create_directories(folder);
    const fs::path path = folder / "config.ini";
    std::ofstream(path, std::ios::binary) << c.text;
    const fs::path previous = fs::current_path();
    fs::current_path(folder);
    const CheckResult result = Check(path.string());
    fs::current_path(previous);
    fs::remove_all(folder);
    EXPECT_EQ(result.status, c.status) << result.out << result.err;
    EXPECT_NE(result.out.find(path.string() + c.message), std::string::npos) << result.out;
    EXPECT_EQ(result.err, "");
  }
}

TEST(VellCheck, FileThatCannotBeReadIsSaidOnTheErrorStream) {
  const struct {
    std::string path;
    const char* reason;
  } kUnreadable[] = {
      {std::string(VELL_TEST_DATA) + "/check/no-such-file.ini", "No such file or directory"},
      {std::string(VELL_TEST_DATA) + "/check", "Is a directory"},
  };
  for (const auto& c : kUnreadable) {
    SCOPED_TRACE(c.path);
    const CheckResult result = Check(c.path);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    const std::string file = fs::absolute(c.path).lexically_normal().string();
    EXPECT_EQ(result.err, "vell: " + file + ": " + c.reason + "\n");
  }
}

}  // namespace
}  // namespace vell::tools
