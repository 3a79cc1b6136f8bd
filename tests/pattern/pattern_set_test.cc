#include "pattern/pattern_set.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/signatures.h"

namespace vell {
namespace {

std::vector<CompiledPatternPtr> Compile(const std::vector<std::string>& patterns) {
  std::vector<CompiledPatternPtr> out;
  for (const std::string& pattern : patterns) {
    out.push_back(pattern == "<null>" ? nullptr : std::make_shared<const CompiledPattern>(pattern));
  }
  return out;
}

// Every mode answers each pattern as CompiledPattern::Search does (the literal and compiled-once
// modes as the backtracking engine does, which agrees wherever it finishes), whatever mix of
// linear, backtracking-only, invalid, null and repeated patterns the set holds.
TEST(PatternSet, AnswersLikeEachPatternAlone) {
  std::vector<std::string> sources;
  for (const BuiltInSignature& signature : SignatureCatalogue) sources.emplace_back(signature.pattern);
  for (const char* pattern : MetaCharPatterns) sources.emplace_back(pattern);
  sources.insert(sources.end(), {"^/admin", "\\<cmd\\>", "x^y", "(", "", "<null>", "^/admin",
                                 "\\.asp$", "a{2000}"});
  const std::vector<CompiledPatternPtr> patterns = Compile(sources);
  const std::string kSubjects[] = {
      "",
      "/index.html",
      "/admin/x.asp",
      "/scripts/..%5c../winnt/system32/cmd.exe",
      "/a?q=%27%20UNION&b=;|!%00$@%0a%1b",
      "/run cmd now",
      std::string(2000, 'a'),
      "/r?x=%0d%0aContent-Type:",
      "x\ny\r\n/default.ida",
  };
  for (MatchMode mode : {MatchMode::kLiteral, MatchMode::kCompiledOnce, MatchMode::kOnePass}) {
    const PatternSet set(patterns, mode);
    ASSERT_EQ(set.size(), patterns.size());
    for (const std::string& subject : kSubjects) {
      PatternSet::Scan scan = set.ScanSubject(subject);
      for (std::size_t i = 0; i < patterns.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "mode " << static_cast<int>(mode) << " pattern \""
                                        << sources[i] << "\" subject \"" << subject << "\"");
        const bool expected = patterns[i] != nullptr && patterns[i]->Search(subject);
        EXPECT_EQ(scan.Found(i), expected);
        EXPECT_EQ(scan.Found(i), expected);  // asked twice, same answer
        if (scan.NoneFound()) {
          EXPECT_FALSE(expected);
        }
      }
    }
  }
}

// "Nothing found" is claimed only when the one pass answered for every pattern of the list: a
// pattern left to the backtracking engine, or a hit, leaves each rule to be asked.
TEST(PatternSet, NoneFoundOnlyWhenThePassCoversEveryPattern) {
  struct Case { std::vector<std::string> patterns; const char* subject; bool noneFound; };
  const Case kCases[] = {
      {{"^/admin", "\\.asp$", "<null>", "", "("}, "/index.html", true},  // none can match
      {{"^/admin", "\\.asp$"}, "/admin", false},
      {{"^/admin", "\\.asp$", "(^cmd)+"}, "/index.html", false},  // no linear form
      {{"^/admin"}, "/index.html", false},                           // one pattern: no pass made
  };
  for (const Case& c : kCases) {
    const PatternSet set(Compile(c.patterns), MatchMode::kOnePass);
    EXPECT_EQ(set.ScanSubject(c.subject).NoneFound(), c.noneFound) << c.patterns.size() << " " << c.subject;
  }
  const PatternSet backtracking(Compile({"^/admin", "\\.asp$"}), MatchMode::kCompiledOnce);
  EXPECT_FALSE(backtracking.ScanSubject("/index.html").NoneFound());
}

}  // namespace
}  // namespace vell
