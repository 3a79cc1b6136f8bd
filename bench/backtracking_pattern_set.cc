// The pattern set as it was before the one pass, for the benchmark's comparison modules only: every
// pattern asked on its own, by the backtracking engine alone, compiled once at load or (with
// VELL_BENCH_COMPILE_EVERY_TIME) afresh on every test. Replaces src/pattern/pattern_set.cc in
// those modules; the filter itself never matches this way.
#include "pattern/pattern_set.h"

namespace vell {

struct PatternSet::OnePass {};

PatternSet::PatternSet(std::vector<CompiledPatternPtr> patterns) : patterns_(std::move(patterns)) {}
PatternSet::PatternSet() = default;
PatternSet::~PatternSet() = default;
PatternSet::PatternSet(PatternSet&&) noexcept = default;
PatternSet& PatternSet::operator=(PatternSet&&) noexcept = default;

PatternSet::Scan PatternSet::ScanSubject(std::string_view subject) const { return NewScan(subject); }

MatchResult PatternSet::Scan::Ask(std::size_t index) {
  const CompiledPattern* pattern = set_->patterns_[index].get();
  bool found = false;
  if (pattern != nullptr) {
#ifdef VELL_BENCH_COMPILE_EVERY_TIME
    found = PatternSearchBacktracking(subject_, pattern->source());
#else
    found = pattern->SearchBacktracking(subject_).value_or(false);
#endif
  }
  return Keep(index, found ? MatchResult::kMatch : MatchResult::kNoMatch);
}

}  // namespace vell
