#include "pattern/pattern.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "pattern/pattern_syntax.h"
#include "config/signatures.h"
#include "pattern/search_cases.h"
#include "reference/reference_matcher.h"

namespace vell {
namespace {

using reference::ReferenceFindFirst;
using testing_cases::kSearch;

using namespace std::literals;

TEST(PatternSearch, Table) {
  for (const auto& c : kSearch) {
    SCOPED_TRACE(testing::Message()
                 << "pattern \"" << c.pattern << "\" subject \"" << c.subject << "\"");
    EXPECT_EQ(PatternSearch(std::string(c.subject), std::string(c.pattern)), c.found);
  }
}

const char* const kInvalid[] = {
    // Nothing to repeat, or a repeat on a repeat or an assertion.
    "*a",
    "+a",
    "?a",
    "{2}a",
    "a|*b",
    "(*a)",
    "(?:a)",
    "(?i)a",
    "a**",
    "a*?",
    "a+?",
    "a??",
    "a{2}*",
    "a*{2}",
    "^*",
    "\\b+",
    "$?",
    // Braces.
    "a}",
    "}",
    "a{",
    "a{x}",
    "a{,2}",
    "a{2,1}",
    "a{1",
    "a{1,2",
    "a{1 }",
    "a{99999999999}",
    // Parentheses and brackets.
    "(a",
    "a)",
    "((a)",
    ")",
    "[a",
    "[]",
    "[^]",
    "[a-",
    "[\\",
    "[z-a]",
    "[a-\\d]",
    // Escapes.
    "a\\",
    "\\Qab",
    "\\Qa\\",
    "\\x",
    "\\xg",
    "\\x{}",
    "\\x{4g}",
    "\\x{41",
    "\\x{100}",
    "\\c",
    "\\c?",
    "\\c\xff",
    "[\\S]",
    "[\\D]",
    "[\\W]",
    "[\\L]",
    "[\\U]",
    "[\\x]",
};

TEST(CompiledPattern, InvalidPatternsNeverMatch) {
  for (const char* pattern : kInvalid) {
    SCOPED_TRACE(pattern);
    const CompiledPattern compiled(pattern);
    EXPECT_FALSE(compiled.valid());
    EXPECT_FALSE(compiled.error().empty());
    EXPECT_FALSE(compiled.Search(pattern));
    EXPECT_FALSE(compiled.FindFirst(std::string(pattern) + "aaa").has_value());
    EXPECT_FALSE(PatternSearch(pattern, pattern));
  }
  EXPECT_FALSE(CompiledPattern("").valid());
}

// Nesting is bounded so that no reader or engine runs out of stack; length is not.
TEST(CompiledPattern, DeepAndLongPatterns) {
  const auto nested = [](int depth) {
    return std::string(depth, '(') + "a" + std::string(depth, ')');
  };
  EXPECT_TRUE(PatternSearch("xAy", nested(150)));
  EXPECT_FALSE(CompiledPattern(nested(300)).valid());
  EXPECT_FALSE(CompiledPattern(std::string(100000, '(')).valid());
  const std::string longPattern(5000, 'a');
  EXPECT_TRUE(PatternSearch("x" + std::string(5000, 'A'), longPattern));
  EXPECT_FALSE(PatternSearch(std::string(4999, 'a'), longPattern));
}

// Translating a pattern takes time in proportion to its length: a long literal and a long run of
// deeply nested groups compile to their linear-time form and are found. Each piece differs from the
// others, as real text does (a text that repeats one short piece makes any engine's search slow).
TEST(CompiledPattern, LongPatternsCompileToTheirLinearForm) {
  std::string literal;
  for (int i = 0; literal.size() < 100000; ++i) literal += "/scripts/" + std::to_string(i) + "/cmd_exe";
  std::string nested;
  std::string subject;
  for (int i = 0; nested.size() < 100000; ++i) {
    nested += std::string(100, '(') + "x" + std::to_string(i) + "|y" + std::string(100, ')') + "[-_]";
    subject += "x" + std::to_string(i) + "-";
  }
  const CompiledPattern compiledLiteral(literal);
  const CompiledPattern compiledNested(nested);
  for (const CompiledPattern* compiled : {&compiledLiteral, &compiledNested}) {
    ASSERT_TRUE(compiled->valid()) << compiled->error();
    EXPECT_TRUE(compiled->linear()) << compiled->whyNotLinear();
  }
  EXPECT_TRUE(compiledLiteral.Search("GET " + literal + " HTTP/1.1"));
  EXPECT_FALSE(compiledLiteral.Search(literal.substr(1)));
  EXPECT_TRUE(compiledNested.Search("/" + subject));
  EXPECT_FALSE(compiledNested.Search(subject.substr(0, subject.size() - 1)));
}

TEST(CompiledPattern, ErrorSaysWhatAndWhere) {
  EXPECT_EQ(CompiledPattern("").error(), "empty pattern");
  EXPECT_EQ(CompiledPattern("*a").error(), "\"*\" has nothing to repeat at offset 0");
  EXPECT_EQ(CompiledPattern("ab(a").error(), "unbalanced \"(\" at offset 2");
  EXPECT_EQ(CompiledPattern("a)").error(), "unbalanced \")\" at offset 1");
  EXPECT_EQ(CompiledPattern("a{2}*").error(), "\"*\" follows another repeat at offset 4");
  EXPECT_TRUE(CompiledPattern("a|()").error().empty());
}

TEST(CompiledPattern, BuiltInPatternsCompile) {
  for (const BuiltInSignature& signature : SignatureCatalogue) {
    SCOPED_TRACE(signature.name);
    EXPECT_TRUE(CompiledPattern(signature.pattern).valid());
  }
  for (const char* pattern : MetaCharPatterns) {
    SCOPED_TRACE(pattern);
    EXPECT_TRUE(CompiledPattern(pattern).valid());
  }
}

// Every byte value against sets whose form spans 0x80, where a signed char could go wrong.
TEST(CompiledPattern, SetsCoverEveryByte) {
  struct SetCase {
    const char* pattern;
    bool (*member)(int c);
  };
  const SetCase cases[] = {
      {".", [](int) { return true; }},
      {"[^a]", [](int c) { return c != 'a' && c != 'A'; }},
      {"[\\x00-\\xff]", [](int) { return true; }},
      {"[\\x70-\\x90]", [](int c) { return (c >= 0x70 && c <= 0x90) || (c >= 'P' && c <= 'Z'); }},
      {"\\W", [](int c) { return !IsWordByte(static_cast<unsigned char>(c)); }},
      {"\\xfe", [](int c) { return c == 0xfe; }},
  };
  for (const auto& set : cases) {
    const CompiledPattern compiled(set.pattern);
    for (int c = 0; c < 256; ++c) {
      SCOPED_TRACE(testing::Message() << set.pattern << " byte " << c);
      EXPECT_EQ(compiled.Search(std::string(1, static_cast<char>(c))), set.member(c));
    }
  }
}

struct SpanCase {
  const char* pattern;
  const char* subject;
  std::size_t begin;
  std::size_t end;
};

const SpanCase kSpans[] = {
    // Leftmost first, then longest.
    {"a|ab", "xab", 1, 3}, {"(a|ab)(c|bcd)", "abcd", 0, 4}, {"b+", "abbbc", 1, 4},
    {"x*", "aaa", 0, 0},   {"b|abc", "abc", 0, 3},          {"(%0d)+", "%0D%0d%0a", 0, 6},
};

TEST(CompiledPattern, FindFirstIsLeftmostLongest) {
  for (const auto& c : kSpans) {
    SCOPED_TRACE(c.pattern);
    const auto span = CompiledPattern(c.pattern).FindFirst(c.subject);
    ASSERT_TRUE(span.has_value());
    EXPECT_EQ(span->begin, c.begin);
    EXPECT_EQ(span->end, c.end);
  }
}

struct ReplaceCase {
  std::string_view pattern;
  std::string_view subject;
  std::string_view format;
  std::string_view result;
};

const ReplaceCase kReplace[] = {
    // Only the first, leftmost-longest match is replaced.
    {"a", "/a/b/a", "x", "/x/b/a"},
    {"a|ab", "xab", "[$&]", "x[ab]"},
    {"/old/(.*)", "/OLD/Page", "/new/$1", "/new/Page"},
    {"z", "abc", "x", "abc"},
    {"b", "a\0bc"sv, "x", "a\0xc"sv},
    // Sub-expressions: the earlier start, then the greater length, in group order.
    {"(a*)(a*)", "aaa", "[$1|$2]", "[aaa|]"},
    {"(a|ab)(c|bcd)(d*)", "abcd", "[$1|$2|$3]", "[ab|c|d]"},
    // "$" references.
    {"b", "abc", "[$0|$`|$A|$'|$z]", "a[b|a|a|c|c]c"},
    {"(b+)", "abbc", "$9", "ac"},
    {"(b)", "abc", "$10", "ac"},
    {"(b)", "abc", "$1x", "abxc"},
    {"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)", "abcdefghijk", "$11", "k"},
    {"(x)|b", "abc", "[$1]", "a[]c"},
    {"b", "abc", "x$", "ax$c"},
    {"b", "abc", "$$", "a$$c"},
    {"b", "abc", "$x", "a$xc"},
    {"b", "abc", "$99999999999999999999", "ac"},
    // "\" escapes.
    {"b", "abc", "\\a\\f\\n\\r\\t\\v\\e",
     "a\a\f\n\r\t\v\x1b"
     "c"},
    {"b", "abc", "\\x41\\x{42}\\x4",
     "aAB\x04"
     "c"},
    {"b", "abc", "\\xg\\x{4g}\\x{100}", "axgx{4g}x{100}c"},
    {"b", "abc", "\\cA\\c1\\c",
     "a\x01"
     "c1cc"},
    {"b", "abc", "\\101\\1011\\0\\8",
     "aAA1\0"
     "8c"sv},
    {"b", "abc", "\\q\\\\\\$1", "aq\\$1c"},
    {"b", "abc", "x\\", "ax\\c"},
    {"b", "abc", "(?:x)", "a(?:x)c"},
    // Case conversion of ordinary and inserted text, never of escapes.
    {"(b+)", "abbc", "\\U$1", "aBBc"},
    {"(bb)", "abbc", "\\u$1", "aBbc"},
    {"B+", "ABBC", "\\L$&x\\Ey", "AbbxyC"},
    {"b", "abc", "\\Ux\\ny\\x61", "aX\nYac"},
    {"b", "abc", "\\lX\\uy", "axYc"},
    // The format ends at its first NUL.
    {"b", "abc", "x\0y"sv, "axc"},
};

TEST(PatternReplaceFirst, Table) {
  for (const auto& c : kReplace) {
    SCOPED_TRACE(testing::Message()
                 << "pattern \"" << c.pattern << "\" format \"" << c.format << "\"");
    EXPECT_EQ(
        PatternReplaceFirst(std::string(c.subject), std::string(c.pattern), std::string(c.format)),
        c.result);
  }
}

// Generated patterns over the constructs most likely to be written out wrongly, on short subjects:
// every engine's answer, the span found and the text replaced against the naive reference.
TEST(CompiledPattern, AgreesWithReferenceOnGeneratedInput) {
  std::mt19937 rng(20240611);
  const std::vector<std::string> atoms = {
      "a",   "B",     "x",       "0",     "_",      "-",     ".",       "\\s",      "\\S",
      "\\d", "\\W",   "\\w",     "\\l",   "\\U",    "[a-c]", "[^b\\n]", "[]x]",     "\\n",
      "\\r", "\\xff", "\\x{80}", "^",     "$",      "\\b",   "\\B",     "\\<",      "\\>",
      "\\A", "\\z",   "\\Z",     "(a|b)", "(ab|a)", "()",    "(x|)",    "\\Qa.\\E", "\\C"};
  const std::vector<std::string> repeats = {"", "", "", "*", "+", "?", "{2}", "{0,2}", "{1,}", "{3}"};
  const std::string bytes = "aAbBcx0_- \n\r\xff\x80";
  int compared = 0;
  int gaveUp = 0;
  for (int round = 0; round < 4000; ++round) {
    std::string pattern;
    const int length = 1 + static_cast<int>(rng() % 5);
    for (int i = 0; i < length; ++i) {
      const auto isAssertion = [](const std::string& atom) {
        return atom == "^" || atom == "$" ||
               (atom[0] == '\\' &&
                std::string_view("bB<>AzZ").find(atom[1]) != std::string_view::npos);
      };
      std::string atom = atoms[rng() % atoms.size()];
      if (rng() % 4 == 0) {
        const std::string other = rng() % 2 ? atoms[rng() % atoms.size()] : "x";
        atom = "(" + atom + "|" + other + ")";
      }
      // An assertion on its own cannot be repeated; in a group it can.
      pattern += atom + (isAssertion(atom) ? "" : repeats[rng() % repeats.size()]);
    }
    const PatternParse parse = ParsePattern(pattern);
    ASSERT_TRUE(parse.syntax.has_value()) << pattern << ": " << parse.error;
    const CompiledPattern compiled(pattern);
    ASSERT_TRUE(compiled.valid()) << pattern << ": " << compiled.error();
    for (int k = 0; k < 5; ++k) {
      std::string subject;
      const int size = static_cast<int>(rng() % 9);
      for (int i = 0; i < size; ++i) subject += bytes[rng() % bytes.size()];
      const auto expected = ReferenceFindFirst(parse.syntax->root, subject);
      SCOPED_TRACE(testing::Message() << "pattern \"" << pattern << "\" subject \"" << subject
                                      << "\" form \"" << compiled.linearForm() << "\"");
      const MatchResult result = compiled.Match(subject);
      if (result == MatchResult::kGaveUp) {
        ++gaveUp;
        continue;
      }
      ++compared;
      EXPECT_EQ(result == MatchResult::kMatch, expected.has_value());
      if (const auto linear = compiled.SearchLinear(subject)) {
        EXPECT_EQ(*linear, expected.has_value());
      }
      if (const auto backtracking = compiled.SearchBacktracking(subject)) {
        EXPECT_EQ(*backtracking, expected.has_value());
      }
      const auto actual = compiled.FindFirst(subject);
      ASSERT_EQ(actual.has_value(), expected.has_value());
      if (!expected) continue;
      EXPECT_EQ(actual->begin, expected->begin);
      EXPECT_EQ(actual->end, expected->end);
      const std::string replaced = subject.substr(0, expected->begin) + "<" +
                                   subject.substr(expected->begin, expected->end - expected->begin) +
                                   ">" + subject.substr(expected->end);
      EXPECT_EQ(compiled.ReplaceFirst(subject, "<$&>"), replaced);
    }
  }
  EXPECT_GT(compared, 19000);
  EXPECT_EQ(gaveUp, 0);
}

// When the backtracking engine exceeds its effort bound it has no answer: a pattern left to it
// then gives up (Search answers false), and finding or replacing by that engine fails. Patterns
// with a linear-time form get the right answer, and so does finding or replacing by the span form.
TEST(CompiledPattern, ExhaustedMatching) {
  // The match at the end lies behind a start where backtracking explodes.
  const std::string subject = std::string(40, 'x') + " xxy";
  // "\<" before what surely begins with a word byte is "\b".
  const CompiledPattern wordStart("\\<(x+x+)+y");
  ASSERT_TRUE(wordStart.linear());
  EXPECT_FALSE(wordStart.SearchBacktracking(subject).has_value());
  EXPECT_EQ(wordStart.Match(subject), MatchResult::kMatch);

  // "^" inside a repeat keeps the search on the backtracking engine.
  const CompiledPattern backtracking("(^|x+x+)+y");
  ASSERT_FALSE(backtracking.linear());
  EXPECT_FALSE(backtracking.SearchBacktracking(subject).has_value());
  EXPECT_EQ(backtracking.Match(subject), MatchResult::kGaveUp);
  EXPECT_FALSE(backtracking.Search(subject));
  ASSERT_TRUE(backtracking.hasSpanForm());
  const auto span = backtracking.FindFirst(subject);
  ASSERT_TRUE(span.has_value());
  EXPECT_EQ(span->begin, 41u);
  EXPECT_EQ(span->end, 44u);
  EXPECT_EQ(backtracking.ReplaceFirst(subject, "z"), std::string(40, 'x') + " z");
  // A CR leaves finding to the backtracking engine too.
  const std::string withCr = std::string(40, 'x') + "\r xxy";
  EXPECT_FALSE(backtracking.FindFirst(withCr).has_value());
  EXPECT_ANY_THROW(backtracking.ReplaceFirst(withCr, "z"));

  const CompiledPattern linear("(x+x+)+y");
  ASSERT_TRUE(linear.linear());
  EXPECT_FALSE(linear.SearchBacktracking(subject).has_value());
  EXPECT_TRUE(linear.Search(subject));
  EXPECT_FALSE(linear.Search(std::string(40, 'x')));
}

// Found by generated differentials: an engine that ends a repeat after a pass that consumed
// nothing, and a rewrite that backtracked until it gave up.
TEST(CompiledPattern, RequiredPassesThatMatchEmpty) {
  struct Case { const char* pattern; const char* subject; std::size_t begin, end; };
  const Case kCases[] = {
      {"(^|a){2}b", "ab", 0, 2},
      {"(\\A|a){3}b", "aab", 0, 3},
      {"(.\\r{0,2}|\\A|[ab]\\z){3}\\b", "\na", 0, 2},
      {"((.a*|a*|.)?|x+b|.?)*/", "bccaxb/", 0, 7},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.pattern);
    const CompiledPattern compiled(c.pattern);
    EXPECT_EQ(compiled.Match(c.subject), MatchResult::kMatch);
    EXPECT_EQ(compiled.SearchBacktracking(c.subject), std::optional<bool>(true));
    const auto span = compiled.FindFirst(c.subject);
    ASSERT_TRUE(span.has_value());
    EXPECT_EQ(span->begin, c.begin);
    EXPECT_EQ(span->end, c.end);
    EXPECT_NO_THROW(compiled.ReplaceFirst(c.subject, "[$1]"));
  }
}

TEST(CompiledPattern, SharedBetweenThreads) {
  const CompiledPattern compiled(R"(((%27)|('))((%20)|(\s))?union)");
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&compiled, &wrong, t] {
      for (int i = 0; i < 500; ++i) {
        const std::string hit = "/p?" + std::to_string(t * 1000 + i) + "=%27%20UNION";
        const std::string miss = "/p?" + std::to_string(i) + "=union";
        const auto span = compiled.FindFirst(hit);
        if (!compiled.Search(hit) || compiled.Search(miss) || !span || span->end != hit.size() ||
            compiled.ReplaceFirst(hit, "[$2]") != hit.substr(0, span->begin) + "[%27]") {
          ++wrong;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace vell
