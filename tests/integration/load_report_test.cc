// What the module tells a host about its start-up through VellGetLoadReport: the same counts and
// first error as `vell check`, and its version through VellGetVersion.
#include <gtest/gtest.h>

#include <cstring>

#include "loaded_filter.h"
#include "vell/vell.h"

namespace vell::testing {
namespace {

namespace fs = std::filesystem;

struct ReportCase {
  const char* name;
  std::vector<std::string> configLines;  // no config.ini at all when empty
  DWORD configRead;
  DWORD rulesInForce;
  DWORD errors;
  DWORD warnings;
  const char* firstError;  // after the config's full path; "" for none
};

const ReportCase kReports[] = {
    {"Clean", {"DefaultAction=deny,log", "BFilter=CodeRed", "CFilter=A,^/admin"}, 1, 2, 0, 0, ""},
    // Lines ignored or weakened, in file order: the first one is named.
    {"Mistakes", {"BFilter=CodeRed", "Bfilter=commandExe", "CFilter=A,^/a(,deny"}, 1, 1, 2, 1,
     ":3: unknown key \"Bfilter\" (keys are case-sensitive; did you mean \"BFilter\"?); the line is ignored"},
    {"WarningsOnly", {"BFilter=CodeRed,redirect"}, 1, 1, 0, 1, ""},
    {"NoRules", {"ServerType=WebServer/1.0"}, 1, 0, 1, 0, ": no rule in force: the filter checks nothing"},
    {"NoFile", {}, 0, 0, 1, 0, ": No such file or directory"},
};

TEST(LoadReport, SaysWhatStartUpLoaded) {
  for (const ReportCase& c : kReports) {
    SCOPED_TRACE(c.name);
    LoadedFilter filter({.configLines = c.configLines, .auditLogInFolder = !c.configLines.empty()});
    const auto getLoadReport =
        reinterpret_cast<BOOL(WINAPI*)(VELL_LOAD_REPORT*)>(filter.module().FindExport("VellGetLoadReport"));
    ASSERT_NE(getLoadReport, nullptr);
    VELL_LOAD_REPORT report{};
    report.cbSize = sizeof report;
    EXPECT_FALSE(getLoadReport(&report)) << "before GetFilterVersion";
    ASSERT_EQ(filter.Start(), 1);
    report.cbSize = sizeof report - 1;
    EXPECT_FALSE(getLoadReport(&report)) << "a record too small";
    report.cbSize = sizeof report;
    ASSERT_TRUE(getLoadReport(&report));
    EXPECT_EQ(report.configRead, c.configRead);
    EXPECT_EQ(report.rulesInForce, c.rulesInForce);
    EXPECT_EQ(report.errors, c.errors);
    EXPECT_EQ(report.warnings, c.warnings);
    const std::string configPath = report.configPath;
    EXPECT_TRUE(fs::equivalent(fs::path(configPath).parent_path(), filter.folder())) << configPath;
    EXPECT_EQ(std::string(report.firstError), *c.firstError ? configPath + c.firstError : "");
  }
}

TEST(LoadReport, LongFirstErrorIsCutToFitItsField) {
  LoadedFilter filter({.configLines = {"BFilter=CodeRed", "Unknown" + std::string(2000, 'x') + "=1"}});
  ASSERT_EQ(filter.Start(), 1);
  const auto getLoadReport =
      reinterpret_cast<BOOL(WINAPI*)(VELL_LOAD_REPORT*)>(filter.module().FindExport("VellGetLoadReport"));
  VELL_LOAD_REPORT report{};
  report.cbSize = sizeof report;
  ASSERT_TRUE(getLoadReport(&report));
  EXPECT_EQ(report.errors, 1u);
  EXPECT_LT(std::strlen(report.firstError), sizeof report.firstError);
  EXPECT_NE(std::string(report.firstError).find("unknown key \"Unknownxxx"), std::string::npos);
}

TEST(Version, TheModuleCarriesTheProjectVersion) {
  LoadedFilter filter({.configLines = {"BFilter=CodeRed"}});
  const auto getVersion = reinterpret_cast<const char*(WINAPI*)()>(filter.module().FindExport("VellGetVersion"));
  ASSERT_NE(getVersion, nullptr);
  EXPECT_STREQ(getVersion(), VELL_VERSION);
}

}  // namespace
}  // namespace vell::testing
