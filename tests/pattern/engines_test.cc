// The linear-time engine against the backtracking one and the naive reference, and the one pass of
// a pattern set (with its literal check) against each pattern's engine, on every built-in pattern
// and every pattern of the syntax table, over generated subjects.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "pattern/literal_filter.h"
#include "pattern/pattern.h"
#include "pattern/pattern_set.h"
#include "pattern/pattern_syntax.h"
#include "pattern/search_cases.h"
#include "config/signatures.h"
#include "reference/reference_matcher.h"

namespace vell {
namespace {

std::vector<std::string> PatternsUnderTest() {
  std::vector<std::string> patterns;
  for (const BuiltInSignature& signature : SignatureCatalogue) patterns.emplace_back(signature.pattern);
  for (const char* pattern : MetaCharPatterns) patterns.emplace_back(pattern);
  for (const auto& c : testing_cases::kSearch) patterns.emplace_back(c.pattern);
  return patterns;
}

// Pieces that subjects are made of: the pattern's own literal runs and escapes, percent-encodings,
// line breaks, NUL and bytes from 0x80 up.
std::vector<std::string> PiecesFor(const std::string& pattern) {
  std::vector<std::string> pieces = {"%0d", "%0a", "%0D%0A", "%27", "%20", "%5c", "\r", "\n", "\r\n",
                                     std::string(1, '\0'), "\x80", "\xff", " ", "a", "Z", "=", "'",
                                     "/", "..", "x", "_", "9", "\\", "-", "#", "<"};
  std::string run;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '\\' && i + 1 < pattern.size()) {
      pieces.push_back(run);
      run.clear();
      pieces.push_back(std::string(1, pattern[++i]));  // the escaped character itself
    } else if (std::string_view("()|*+?{}[]^$.").find(c) != std::string_view::npos) {
      if (!run.empty()) pieces.push_back(run);
      run.clear();
    } else {
      run += c;
    }
  }
  if (!run.empty()) pieces.push_back(run);
  return pieces;
}

std::string MakeSubject(std::mt19937& rng, const std::vector<std::string>& pieces, std::size_t size) {
  std::string subject;
  while (subject.size() < size) {
    std::string piece = pieces[rng() % pieces.size()];
    if (rng() % 3 == 0) {
      for (char& c : piece) c = static_cast<char>(rng() % 2 ? ToUpperAscii(c) : ToLowerAscii(c));
    }
    subject += piece;
  }
  subject.resize(size);
  return subject;
}

TEST(Engines, LinearAgreesWithBacktrackingAndReference) {
  std::mt19937 rng(4099);
  int compared = 0;
  int backtrackingGaveUp = 0;
  for (const std::string& pattern : PatternsUnderTest()) {
    const CompiledPattern compiled(pattern);
    if (!compiled.linear()) continue;
    const PatternParse parse = ParsePattern(pattern);
    ASSERT_TRUE(parse.syntax);
    const std::vector<std::string> pieces = PiecesFor(pattern);
    const std::size_t kSizes[] = {0, 1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 1024, 4096, 16384};
    for (std::size_t size : kSizes) {
      const int rounds = size <= 144 ? 24 : 2;
      for (int round = 0; round < rounds; ++round) {
        const std::string subject = MakeSubject(rng, pieces, size);
        SCOPED_TRACE(testing::Message() << "pattern \"" << pattern << "\" form \"" << compiled.linearForm()
                                        << "\" subject of " << size << " bytes");
        const bool linear = *compiled.SearchLinear(subject);
        EXPECT_EQ(compiled.Search(subject), linear);  // the literal filter first, then the engine
        if (size <= 55) {
          EXPECT_EQ(linear, reference::ReferenceFindFirst(parse.syntax->root, subject).has_value())
              << "\"" << subject << "\"";
        }
        const std::optional<bool> backtracking = compiled.SearchBacktracking(subject);
        if (backtracking) {
          EXPECT_EQ(linear, *backtracking);
          ++compared;
        } else {
          ++backtrackingGaveUp;
        }
      }
    }
  }
  EXPECT_GT(compared, 10000);
  RecordProperty("compared", compared);
  RecordProperty("backtrackingGaveUp", backtrackingGaveUp);
}

// The set's literal check answers "no pattern occurs" before its one pass: it must never hide a
// match. Every linear pattern that has a literal filter goes into one set, and each answer of a
// scan is compared with that pattern's own linear-time engine, which no literal check precedes.
TEST(Engines, SetPassWithLiteralCheckAgreesWithEachEngine) {
  std::vector<CompiledPatternPtr> patterns;
  std::vector<const LiteralFilter*> filters;
  std::vector<std::string> pieces;
  for (const std::string& pattern : PatternsUnderTest()) {
    auto compiled = std::make_shared<const CompiledPattern>(pattern);
    if (!compiled->linear() || compiled->literalFilter() == nullptr) continue;
    filters.push_back(compiled->literalFilter());
    patterns.push_back(std::move(compiled));
    const std::vector<std::string> own = PiecesFor(pattern);
    pieces.insert(pieces.end(), own.begin(), own.end());
  }
  ASSERT_GT(patterns.size(), 30u);
  const std::optional<LiteralSetFilter> texts = LiteralSetFilter::Of(filters);
  ASSERT_TRUE(texts.has_value());
  const PatternSet set(patterns);
  std::mt19937 rng(7919);
  int found = 0, ruledOut = 0;
  const std::size_t kSizes[] = {0, 1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 600};
  for (std::size_t size : kSizes) {
    for (int round = 0; round < 200; ++round) {
      const std::string subject = MakeSubject(rng, pieces, size);
      PatternSet::Scan scan = set.ScanSubject(subject);
      const bool mayMatch = texts->MayMatch(subject);
      ruledOut += mayMatch ? 0 : 1;
      for (std::size_t i = 0; i < patterns.size(); ++i) {
        const bool linear = *patterns[i]->SearchLinear(subject);
        SCOPED_TRACE(testing::Message() << "pattern \"" << patterns[i]->source() << "\" subject \""
                                        << subject << "\"");
        EXPECT_EQ(scan.Found(i), linear);
        if (linear) {
          EXPECT_TRUE(mayMatch);
          ++found;
        }
      }
    }
  }
  // Both answers were tried many times.
  EXPECT_GT(found, 1000);
  EXPECT_GT(ruledOut, 100);
}

// Padding that makes the backtracking engine give up no longer hides an attack.
TEST(Engines, PaddedAttacksAreFound) {
  struct Case { const char* signature; std::string subject; };
  std::string pad;
  while (pad.size() < 16384) pad += "%0d";
  const Case kCases[] = {
      {"URLSplit1", "/r?x=" + pad + "%0d%0aContent-Type:"},
      {"URLSplit2", "/r?x=" + pad + "%0a" + "content-"},
      {"URLSplit3", "/r?x=" + pad + "%0d%0aHTTP/1.1"},
      {"SQLInjection4", "/q?" + std::string(16384, 'a') + "='"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.signature);
    const CompiledPattern compiled(FindSignature(c.signature)->pattern);
    ASSERT_TRUE(compiled.linear());
    EXPECT_TRUE(compiled.Search(c.subject));
  }
}

// Bytes from 0x80 up in alternatives that share a leading byte: found by generated patterns.
TEST(Engines, HighBytesInFactoredAlternatives) {
  struct Case { const char* pattern; std::string subject; bool found; };
  const Case kCases[] = {
      {"(\\x{80}|\\x{80})", "a\x80" "b", true},
      {"(\\x80b|\\x80c)", "-\x80" "c-", true},
      {"(\\xffx|\\xff)", "\xff", true},
      {"([\\x80]|[\\x80])", "\x80", true},
      {"(\\x80\\x80|\\x80\\x81)", "\x80\x82", false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.pattern);
    const CompiledPattern compiled(c.pattern);
    ASSERT_TRUE(compiled.linear());
    EXPECT_EQ(*compiled.SearchLinear(c.subject), c.found);
    EXPECT_EQ(*compiled.SearchBacktracking(c.subject), c.found);
  }
}

// Which constructs keep a pattern on the backtracking engine.
TEST(Engines, PatternsWithoutAnExactLinearForm) {
  struct Case { const char* pattern; bool linear; };
  const Case kCases[] = {
      {"^/admin", true},      {"\\.asp$", true},     {"^$", false},       {"a\\Z", true},
      {"\\bword\\b", true},   {"\\Aa\\z", true},     {"a{1000}", true},   {"a|^b", true},
      {"^\\n", false},       {"\\r$", false},       {"^(\\n|a)", false},  {"^$\\n", false},
      {"^(GET|HEAD)$", true}, {"^a?$", false},       {"^(a|$)", false},
      // Anchors between bytes that settle them, word edges next to a word or non-word byte,
      // large bounds, and patterns that match the empty string anywhere.
      {"x^a", true},          {"a$x", true},         {"\\n^a", true},     {"a$\\r", true},
      {"\\<a", true},         {"a\\>", true},        {"-\\<", true},      {"\\>-", true},
      {"a{1001}", true},      {"a{2,5000}", true},   {"(^a)*", true},     {"((\\Z|(.*){2})+a|)", true},
      // What still has no exact form: anchors inside repeats, word edges with nothing around,
      // "\\B" next to a line anchor (it holds between CR and LF), bounds beyond 64 copies.
      {"(^a)+", false},       {"\\<", false},        {"(a|-)\\>", false}, {"^\\B", false},
      {"\\B$", false},        {"[a\\r]^b", false},     {"a{64001}", false}, {"x\\Zy?", false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.pattern);
    const CompiledPattern compiled(c.pattern);
    ASSERT_TRUE(compiled.valid()) << compiled.error();
    EXPECT_EQ(compiled.linear(), c.linear) << compiled.linearForm();
    EXPECT_EQ(compiled.whyNotLinear().empty(), c.linear);
  }
}

}  // namespace
}  // namespace vell
