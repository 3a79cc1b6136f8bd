// Pattern matching: the only way the filter applies a regular expression. Patterns are read in
// vell's own syntax (case ignored, bounded repeats, escapes active in bracket lists, no
// back-references, no Perl extensions, POSIX leftmost-longest choice) and compiled for the engine.
#ifndef VELL_PATTERN_PATTERN_H_
#define VELL_PATTERN_PATTERN_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vell {

class LiteralFilter;

// The answer of one search. kGaveUp: the backtracking engine, which answers for a pattern without
// an exact linear-time form, exceeded its bound on matching effort for this subject, so whether
// the pattern occurs is not known.
enum class MatchResult : uint8_t { kNoMatch, kMatch, kGaveUp };

class CompiledPattern {
 public:
  // Never throws for a bad pattern: a pattern that does not compile (the empty pattern included)
  // is kept as one that never matches, with the reason in error().
  explicit CompiledPattern(const std::string& pattern);
  ~CompiledPattern();
  CompiledPattern(const CompiledPattern&) = delete;
  CompiledPattern& operator=(const CompiledPattern&) = delete;

  const std::string& source() const;
  bool valid() const;
  // Empty for a valid pattern; otherwise a short reason, e.g. `unbalanced "(" at offset 3`.
  const std::string& error() const;

  // Whether the pattern occurs anywhere in subject; kNoMatch for an invalid pattern. A pattern with
  // an exact linear-time form is answered by that engine, in time linear in the subject and never
  // giving up; any other pattern by the backtracking engine, which may give up (kGaveUp). A
  // subject that holds none of the texts every match needs is answered at once, by neither. Safe
  // to call from any number of threads.
  MatchResult Match(std::string_view subject) const;
  // Match(subject) == kMatch: a give-up answers false.
  bool Search(std::string_view subject) const { return Match(subject) == MatchResult::kMatch; }

  // Texts one of which every match contains (see LiteralFilter), or null when a match may hold
  // none of a short list of texts.
  const LiteralFilter* literalFilter() const;

  // Whether the pattern has an exact linear-time form (and so Search never gives up), that form,
  // and when it has none, why.
  bool linear() const;
  const std::string& linearForm() const;
  const std::string& whyNotLinear() const;

  // Each engine on its own, for comparing them: nothing when that engine has no answer (no form,
  // an invalid pattern, or the backtracking engine gave up).
  std::optional<bool> SearchBacktracking(std::string_view subject) const;
  std::optional<bool> SearchLinear(std::string_view subject) const;

  struct Span {
    std::size_t begin;
    std::size_t end;
  };
  // The leftmost-longest match, or nothing (no match, invalid pattern, matching failed). Found by
  // the linear-time engine when the pattern has a span form, unless the form holds a line anchor
  // and subject a CR; then it never fails.
  std::optional<Span> FindFirst(std::string_view subject) const;

  // subject with its first (leftmost-longest) match replaced by the expansion of format; subject
  // unchanged without a match and for an invalid pattern. The match is found as FindFirst finds
  // it; its groups are chosen the POSIX way (earlier start, then greater length, in group order)
  // when the backtracking engine manages that within its bound on the span found, and otherwise
  // by the linear-time engine's own choice. Throws only when the backtracking engine alone answers
  // and gives up, and for memory.
  std::string ReplaceFirst(const std::string& subject, const std::string& format) const;

  // Whether FindFirst and ReplaceFirst have the linear-time engine's span form, and why not.
  bool hasSpanForm() const;
  const std::string& whyNoSpanForm() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

using CompiledPatternPtr = std::shared_ptr<const CompiledPattern>;

// Compiles pattern afresh and answers whether it occurs in subject; false on any failure.
bool PatternSearch(const std::string& subject, const std::string& pattern);

// The search as first written: compiles pattern afresh for the backtracking engine alone, with
// false for every failure, that engine giving up included. Kept for comparisons and benchmarks.
bool PatternSearchBacktracking(std::string_view subject, const std::string& pattern);

// Compiles pattern afresh and replaces its first match in subject by the expansion of format.
// Callers call it only for a pattern that PatternSearch just found in the same subject.
std::string PatternReplaceFirst(const std::string& subject, const std::string& pattern,
                                const std::string& format);

}  // namespace vell

#endif  // VELL_PATTERN_PATTERN_H_
