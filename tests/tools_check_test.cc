#include <sstream>

#include <gtest/gtest.h>

#include "tools/commands.h"

namespace vell::tools {
namespace {

std::string Check(const std::string& file, int* status) {
  std::ostringstream out;
  *status = CheckConfigFile(std::string(VELL_TEST_DATA) + "/check/" + file, out);
  return out.str();
}

TEST(VellCheck, CleanFileListsRulesInEvaluationOrder) {
  int status = -1;
  const std::string out = Check("clean.ini", &status);
  EXPECT_EQ(status, 0) << out;
  const char* kInOrder[] = {"REMOTE_ADDR matches ^10\\.", "commandExe", "MaxURLLength", "MetaChar:",
                            "Admin: URL matches ^/admin", "^/old/(.*)  => /new/$1"};
  std::size_t at = 0;
  for (const char* piece : kInOrder) {
    const std::size_t found = out.find(piece, at);
    ASSERT_NE(found, std::string::npos) << piece << "\n" << out;
    at = found;
  }
  EXPECT_NE(out.find("default actions (deny, log)"), std::string::npos);
  EXPECT_NE(out.find("0 errors, 0 warnings"), std::string::npos);
}

TEST(VellCheck, NamesEachMistakeWithItsLine) {
  int status = -1;
  const std::string out = Check("mistakes.ini", &status);
  EXPECT_EQ(status, 1) << out;
  const char* kFindings[] = {
      "mistakes.ini:2: warning: AuditLog \"audit.txt\" has no \".log\"",
      "mistakes.ini:3: warning: \"Log\" is not an action",
      "mistakes.ini:4: warning: unknown key \"Bfilter\" (keys are case-sensitive; did you mean \"BFilter\"?)",
      "mistakes.ini:5: error: BFilter name \"SQLInjection5\" is not a built-in signature",
      "mistakes.ini:6: error: BFilter name \"sqlinjection1\" is not a built-in signature (names are "
      "case-sensitive; did you mean \"SQLInjection1\"?)",
      "mistakes.ini:7: error: RequestByIP is not switched on",
      "mistakes.ini:8: error: MetaChar has no mask",
      "mistakes.ini:9: error: CFilter pattern \"^/admin(\" does not compile",
      "mistakes.ini:10: warning: \"Deny\" is not an action",
      "mistakes.ini:11: error: SFilter variable \"remote_addr\"",
      "mistakes.ini:12: error: Rewrite pattern \"(old\" does not compile",
      "mistakes.ini:14: warning: \"Deny\" renames the rule from \"CodeRed\" to \"Deny\"",
      "mistakes.ini:15: note: CFilter pattern \"\\<(cmd|\\.exe)\" is left to the backtracking engine",
  };
  for (const char* finding : kFindings) EXPECT_NE(out.find(finding), std::string::npos) << finding << "\n" << out;
}

TEST(VellCheck, MissingFileIsAnError) {
  int status = -1;
  const std::string out = Check("no-such-file.ini", &status);
  EXPECT_EQ(status, 2);
  EXPECT_NE(out.find("cannot open"), std::string::npos);
}

}  // namespace
}  // namespace vell::tools
