// Pattern matching: the only way the filter applies a regular expression. Patterns are read in
// vell's own syntax (case ignored, bounded repeats, escapes active in bracket lists, no
// back-references, no Perl extensions, POSIX leftmost-longest choice) and compiled for the engine.
#ifndef VELL_PATTERN_PATTERN_H_
#define VELL_PATTERN_PATTERN_H_

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vell {

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

  // True when the pattern occurs anywhere in subject. False when it does not and when the pattern
  // is invalid. A pattern with an exact linear-time form is answered by that engine, in time
  // linear in the subject and never giving up; any other pattern by the backtracking engine,
  // whose failure to finish also answers false. A subject that holds none of the texts every
  // match needs is answered at once, by neither. Safe to call from any number of threads.
  bool Search(std::string_view subject) const;

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
  // The leftmost-longest match, or nothing (no match, invalid pattern, matching failed).
  std::optional<Span> FindFirst(std::string_view subject) const;

  // subject with its first (leftmost-longest) match replaced by the expansion of format; subject
  // unchanged without a match and for an invalid pattern. Throws when matching fails (the engine's
  // bound on matching effort, memory).
  std::string ReplaceFirst(const std::string& subject, const std::string& format) const;

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
