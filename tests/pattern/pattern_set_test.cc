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
                                 "\\.asp$", "a{2000}", "(^|x+x+)+y"});
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
      std::string(40, 'x') + " xxy",  // the backtracking engine gives up
  };
  {
    const PatternSet set(patterns);
    ASSERT_EQ(set.size(), patterns.size());
    for (const std::string& subject : kSubjects) {
      PatternSet::Scan scan = set.ScanSubject(subject);
      for (std::size_t i = 0; i < patterns.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "pattern \""
                                        << sources[i] << "\" subject \"" << subject << "\"");
        const MatchResult expected = patterns[i] != nullptr ? patterns[i]->Match(subject) : MatchResult::kNoMatch;
        EXPECT_EQ(scan.Result(i), expected);
        EXPECT_EQ(scan.Result(i), expected);  // asked twice, same answer
        EXPECT_EQ(scan.Found(i), expected == MatchResult::kMatch);
        if (scan.NoneFound()) {
          EXPECT_EQ(expected, MatchResult::kNoMatch);
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
    const PatternSet set(Compile(c.patterns));
    EXPECT_EQ(set.ScanSubject(c.subject).NoneFound(), c.noneFound) << c.patterns.size() << " " << c.subject;
  }
}

}  // namespace
}  // namespace vell
