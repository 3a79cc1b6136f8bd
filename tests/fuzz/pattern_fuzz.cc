// Fuzzes the pattern reader and every engine: any bytes as a pattern and a subject. The reader must
// never fail, and on short inputs every answer (the linear-time and backtracking searches, the
// one-pass set, the span found, the text replaced) must agree with the naive reference matcher.
// Input: pattern NUL subject.
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>

#include "fuzz/fuzz_input.h"
#include "pattern/pattern.h"
#include "pattern/pattern_set.h"
#include "pattern/pattern_syntax.h"
#include "reference/reference_matcher.h"

namespace {

using vell::MatchResult;
using vell::PatternNode;

// The reference takes time exponential in the nesting of repeats and linear in their bounds; only
// trees it answers quickly are compared.
bool SmallEnoughForReference(const PatternNode& node, int repeatDepth) {
  if (node.kind == PatternNode::Kind::kRepeat) {
    if (++repeatDepth > 3 || node.min > 16 || node.max > 16) return false;
  }
  for (const PatternNode& child : node.children) {
    if (!SmallEnoughForReference(child, repeatDepth)) return false;
  }
  return true;
}

[[noreturn]] void Disagree(const std::string& what, const std::string& pattern, const std::string& subject) {
  std::fprintf(stderr, "%s: pattern \"%s\" subject \"%s\"\n", what.c_str(), pattern.c_str(), subject.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const auto texts = vell::fuzz::SplitInput(data, size, 2);
  const std::string pattern(texts[0]);
  const std::string subject(texts[1]);
  const vell::PatternParse parse = vell::ParsePattern(pattern);
  const vell::CompiledPattern compiled(pattern);
  if (parse.syntax.has_value() != compiled.valid() && compiled.error().rfind("engine refused", 0) != 0) {
    Disagree("reader and compiled pattern disagree on validity", pattern, subject);
  }
  const MatchResult result = compiled.Match(subject);
  if (!compiled.valid()) {
    if (result != MatchResult::kNoMatch) Disagree("an invalid pattern matched", pattern, subject);
    return 0;
  }
  // The one pass answers as the pattern does.
  const vell::PatternSet set({std::make_shared<const vell::CompiledPattern>(pattern),
                              std::make_shared<const vell::CompiledPattern>("x^y|/z")});
  vell::PatternSet::Scan scan = set.ScanSubject(subject);
  if (scan.Result(0) != result) Disagree("the one pass disagrees with the pattern", pattern, subject);

  if (pattern.size() > 48 || subject.size() > 24 || !SmallEnoughForReference(parse.syntax->root, 0)) {
    return 0;
  }
  const auto expected = vell::reference::ReferenceFindFirst(parse.syntax->root, subject);
  if (result != MatchResult::kGaveUp && (result == MatchResult::kMatch) != expected.has_value()) {
    Disagree("search disagrees with the reference", pattern, subject);
  }
  if (const auto linear = compiled.SearchLinear(subject); linear && *linear != expected.has_value()) {
    Disagree("linear-time search disagrees with the reference", pattern, subject);
  }
  if (const auto backtracking = compiled.SearchBacktracking(subject);
      backtracking && *backtracking != expected.has_value()) {
    Disagree("backtracking search disagrees with the reference", pattern, subject);
  }
  const auto span = compiled.FindFirst(subject);
  const bool bySpanForm = compiled.hasSpanForm() && subject.find('\r') == std::string::npos;
  if (span.has_value() != expected.has_value() && (span.has_value() || bySpanForm)) {
    Disagree("found a match where the reference found none, or the other way", pattern, subject);
  }
  if (!span || !expected) return 0;
  if (span->begin != expected->begin || span->end != expected->end) {
    Disagree("span disagrees with the reference", pattern, subject);
  }
  std::string replaced;
  try {
    replaced = compiled.ReplaceFirst(subject, "<$&>");
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    if (bySpanForm) Disagree("replacing by the span form failed", pattern, subject);
    return 0;
  }
  const std::string want = subject.substr(0, span->begin) + "<" +
                           subject.substr(span->begin, span->end - span->begin) + ">" +
                           subject.substr(span->end);
  if (replaced != want) Disagree("replacement disagrees with the span", pattern, subject);
  return 0;
}
