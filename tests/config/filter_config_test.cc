#include "config/filter_config.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "config/signatures.h"

namespace vell {
namespace {

using namespace std::string_literals;

RuleAction Deny(const char* argument) { return {ActionKind::Deny, argument}; }
RuleAction Redirect(const char* argument) { return {ActionKind::Redirect, argument}; }
RuleAction Log() { return {ActionKind::Log, ""}; }
using Actions = std::vector<RuleAction>;

class ConfigFile : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (std::filesystem::temp_directory_path() /
             ("vell_config_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
              "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".ini"))
                .string();
  }
  void TearDown() override { std::remove(path_.c_str()); }

  FilterConfig Load(const std::string& bytes, ConfigSource* source = nullptr) {
    std::ofstream(path_, std::ios::binary) << bytes;
    FilterConfig config;
    config.LoadConfig(path_, source);
    return config;
  }

  std::string path_;
};

TEST_F(ConfigFile, WorkedExample) {
  const FilterConfig config = Load(
      "// rules for the public site\n"
      "AuditLog=C:\\logs\\audit.log\n"
      "ServerType=WebServer/1.0\n"
      "DefaultAction=deny,log\n"
      "BFilter=SQLInjection1\n"
      "BFilter=MaxURLLength:512,log\n"
      "BFilter=MetaChar,enable:255,deny\n"
      "BFilter=RequestByIP,enable:true,redirect:/noip.htm\n"
      "CFilter=AdminPages,^/admin,deny,log\n"
      "SFilter=REMOTE_ADDR,^10\\.,log\n"
      "Rewrite=^/old/(.*),/new/$1\n");

  FilterConfig expected;
  expected.auditLog = "C:\\logs\\audit.log";
  expected.serverType = "WebServer/1.0";
  expected.defaultActions = {Deny("deny"), Log()};
  BuiltinRule sql;
  sql.name = "SQLInjection1";
  sql.pattern = "((%27)|('))((%20)|(\\s))?union";
  BuiltinRule length;
  length.name = "MaxURLLength";
  length.maxUrlLength = 512;
  length.actions = {Log()};
  BuiltinRule meta;
  meta.name = "MetaChar";
  meta.enableMask = 255;
  meta.actions = {Deny("deny")};
  BuiltinRule byIp;
  byIp.name = "RequestByIP";
  byIp.enabled = true;
  byIp.actions = {Redirect("/noip.htm")};
  expected.bFilters = {sql, length, meta, byIp};
  FilterRule admin;
  admin.name = "AdminPages";
  admin.pattern = "^/admin";
  admin.actions = {Deny("deny"), Log()};
  expected.cFilters = {admin};
  VariableRule addr;
  addr.variable = "REMOTE_ADDR";
  addr.pattern = "^10\\.";
  addr.actions = {Log()};
  expected.sFilters = {addr};
  expected.rewriteRules = {{"^/old/(.*)", "/new/$1"}};
  EXPECT_EQ(config, expected);
}

TEST_F(ConfigFile, MissingFileAndCommentOnlyFileLeaveItEmpty) {
  FilterConfig missing;
  missing.LoadConfig(path_ + ".does-not-exist");
  EXPECT_EQ(missing, FilterConfig{});
  EXPECT_EQ(Load("// only comments\n\n   // indented comment\n/AuditLog=x.log\n\t\n"), FilterConfig{});
}

TEST_F(ConfigFile, LineSyntax) {
  const FilterConfig config = Load(
      "  \t AuditLog \t =  first.log  \r\n"  // blanks around key and "=", CR LF
      "auditlog=lower.log\n"                  // keys are case-sensitive
      "AUDITLOG=upper.log\n"
      "ServerType=a=b\n"                      // the value runs from the first "="
      "Rewrite\n"                             // a key without "=" is its own value
      "BFilter\n"
      "Unknown=1\n"
      "DefaultAction=deny\n"
      "DefaultAction=log\n"                   // appends to the same list
      "AuditLog=second.log\n");               // last one wins
  EXPECT_EQ(config.auditLog, "second.log");
  EXPECT_EQ(config.serverType, "a=b");
  ASSERT_EQ(config.rewriteRules.size(), 1u);
  EXPECT_EQ(config.rewriteRules[0], (RewriteRule{"Rewrite", "Rewrite"}));
  ASSERT_EQ(config.bFilters.size(), 1u);
  EXPECT_EQ(config.bFilters[0].name, "BFilter");
  EXPECT_EQ(config.defaultActions, (Actions{Deny("deny"), Log()}));
}

TEST_F(ConfigFile, KeyAloneAndEmptyValues) {
  EXPECT_EQ(Load("AuditLog\n").auditLog, "AuditLog");
  EXPECT_EQ(Load("AuditLog=x.log\nAuditLog=\n").auditLog, "");
}

TEST_F(ConfigFile, NulEndsTheLineAndByteOrderMarkHidesTheFirstKey) {
  ConfigSource source;
  const FilterConfig config =
      Load("\xEF\xBB\xBF" "AuditLog=bom.log\nServerType=ab\0cd\nCFilter=X,ab\0,deny\n"s, &source);
  EXPECT_EQ(config.auditLog, "");
  EXPECT_EQ(config.serverType, "ab");
  ASSERT_EQ(config.cFilters.size(), 1u);
  EXPECT_EQ(config.cFilters[0].pattern, "ab");
  EXPECT_TRUE(config.cFilters[0].actions.empty());
  EXPECT_TRUE(source.byteOrderMark);
  ASSERT_EQ(source.lines.size(), 3u);
  EXPECT_EQ(source.lines[0].use, ConfigLine::Use::Unknown);
  EXPECT_TRUE(source.lines[1].hasNul);
}

// Lines are read whole however long they are: a long pattern is not cut, and its tail never
// becomes a line of its own.
TEST_F(ConfigFile, LongLinesAreReadWhole) {
  std::string pattern = "^/" + std::string(280, 'a') + "BFilter=CodeRed";
  const std::string line = "CFilter=Long," + pattern + ",deny";
  ASSERT_GE(line.size(), 300u);
  const FilterConfig config = Load(line + "\nAuditLog=after.log\n");
  ASSERT_EQ(config.cFilters.size(), 1u);
  EXPECT_EQ(config.cFilters[0].pattern, pattern);
  EXPECT_EQ(config.cFilters[0].actions, (Actions{Deny("deny")}));
  EXPECT_TRUE(config.bFilters.empty());
  EXPECT_EQ(config.auditLog, "after.log");
}

TEST_F(ConfigFile, SignatureNamesGetTheirPatternExactly) {
  const FilterConfig config = Load(
      "BFilter=DirectoryTraversal\nBFilter=sqlinjection1\nBFilter=MetaChar,enable:8\n"
      "BFilter=DirectoryTraversal,log\nBFilter=SQLInjection5\n");
  ASSERT_EQ(config.bFilters.size(), 5u);
  EXPECT_EQ(config.bFilters[0].pattern, FindSignature("DirectoryTraversal")->pattern);
  EXPECT_EQ(config.bFilters[3].pattern, FindSignature("DirectoryTraversal")->pattern);
  EXPECT_EQ(config.bFilters[1].pattern, "");
  EXPECT_EQ(config.bFilters[2].pattern, "");
  EXPECT_EQ(config.bFilters[4].pattern, "");
}

struct SizeCase {
  const char* value;
  std::optional<uint64_t> bytes;
};
const SizeCase kSizes[] = {
    // Bytes, or 1024-based units with or without B, in any case, blanks before the unit.
    {"65536", 65536},
    {"512K", 512u << 10},
    {"100MB", 100u << 20},
    {"100 mb", 100u << 20},
    {"1g", 1u << 30},
    {"1024GB", uint64_t{1} << 40},
    {"7b", 7},
    // Nothing, zero, too large, or not a size.
    {"", std::nullopt},
    {"0", std::nullopt},
    {"0MB", std::nullopt},
    {"1025G", std::nullopt},
    {"99999999999999999999999", std::nullopt},
    {"-5M", std::nullopt},
    {"1.5G", std::nullopt},
    {"10 parsecs", std::nullopt},
    {"MB", std::nullopt},
    {"10T", std::nullopt},
};

TEST(AuditLogKeys, MaxSizeTable) {
  for (const SizeCase& c : kSizes) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(ParseAuditLogMaxSize(c.value), c.bytes);
  }
}

TEST(AuditLogKeys, FormatRotateAndKeepValues) {
  EXPECT_EQ(ParseAuditLogFormat("json"), true);
  EXPECT_EQ(ParseAuditLogFormat("W3C"), false);
  EXPECT_EQ(ParseAuditLogFormat("xml"), std::nullopt);
  EXPECT_EQ(ParseAuditLogRotate("daily"), (AuditLogRotation{false, true}));
  EXPECT_EQ(ParseAuditLogRotate("load, Daily"), (AuditLogRotation{true, true}));
  EXPECT_EQ(ParseAuditLogRotate("load"), (AuditLogRotation{true, false}));
  EXPECT_EQ(ParseAuditLogRotate("none"), (AuditLogRotation{false, false}));
  EXPECT_EQ(ParseAuditLogRotate("weekly"), std::nullopt);
  EXPECT_EQ(ParseAuditLogRotate("daily,none"), std::nullopt);
  EXPECT_EQ(ParseAuditLogRotate(""), std::nullopt);
  EXPECT_EQ(ParseAuditLogKeep("30"), 30u);
  EXPECT_EQ(ParseAuditLogKeep("9999999"), 9999999u);
  EXPECT_EQ(ParseAuditLogKeep("0"), std::nullopt);
  EXPECT_EQ(ParseAuditLogKeep("10000000"), std::nullopt);
  EXPECT_EQ(ParseAuditLogKeep("30 days"), std::nullopt);
}

TEST_F(ConfigFile, AuditLogKeysAreOptInAndABadValueKeepsTheSetting) {
  const FilterConfig defaults = Load("AuditLog=a.log\n");
  EXPECT_FALSE(defaults.auditLogJson);
  EXPECT_EQ(defaults.auditLogRotate, (AuditLogRotation{true, false}));
  EXPECT_EQ(defaults.auditLogMaxSize, 0u);
  EXPECT_EQ(defaults.auditLogKeep, 0u);

  const FilterConfig config = Load(
      "AuditLogFormat=json\nAuditLogFormat=yaml\nAuditLogRotate = daily\nAuditLogMaxSize=100MB\n"
      "AuditLogMaxSize=lots\nAuditLogKeep=30\nAuditLogKeep=0\n");
  EXPECT_TRUE(config.auditLogJson);
  EXPECT_EQ(config.auditLogRotate, (AuditLogRotation{false, true}));
  EXPECT_EQ(config.auditLogMaxSize, 100u << 20);
  EXPECT_EQ(config.auditLogKeep, 30u);
}

}  // namespace
}  // namespace vell
