// Which of a list of patterns occur in one subject. Patterns with a linear-time form are all
// searched in one pass over the subject; the others are asked one by one, and only when a caller
// asks about them.
#ifndef VELL_PATTERN_PATTERN_SET_H_
#define VELL_PATTERN_PATTERN_SET_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "pattern/pattern.h"

namespace re2 {
class RE2;
}  // namespace re2

namespace vell {

class PatternSet {
 public:
  PatternSet();
  // A null entry never matches. Compiles the one-pass engine over the entries with a linear form.
  explicit PatternSet(std::vector<CompiledPatternPtr> patterns);
  ~PatternSet();
  PatternSet(PatternSet&&) noexcept;
  PatternSet& operator=(PatternSet&&) noexcept;

  std::size_t size() const { return patterns_.size(); }
  // Whether a scan makes a pass of its own; without one, a Scan only asks each pattern alone.
  bool HasOnePass() const { return onePass_ != nullptr; }

  // The answers for one subject. Holds a view of the subject: it must outlive the Scan.
  class Scan {
   public:
    // Does pattern `index` occur in the subject? The same answer as CompiledPattern::Match; a null
    // entry never matches.
    MatchResult Result(std::size_t index) {
      const uint8_t answer = state()[index];
      return answer == kUnknown ? Ask(index) : static_cast<MatchResult>(answer - 1);
    }
    // Result(index) == kMatch: a give-up answers false.
    bool Found(std::size_t index) { return Result(index) == MatchResult::kMatch; }

    // True when the one pass showed that no pattern of the set occurs in the subject.
    bool NoneFound() const { return noneFound_; }

   private:
    friend class PatternSet;
    // A known answer is its MatchResult plus one.
    enum : uint8_t { kUnknown = 0, kNo = 1, kYes = 2 };
    static_assert(static_cast<int>(MatchResult::kNoMatch) + 1 == kNo &&
                  static_cast<int>(MatchResult::kMatch) + 1 == kYes);
    MatchResult Ask(std::size_t index);  // runs pattern `index` on its own and keeps the answer
    MatchResult Keep(std::size_t index, MatchResult result) {
      state()[index] = static_cast<uint8_t>(static_cast<uint8_t>(result) + 1);
      return result;
    }
    uint8_t* state() { return heapState_.empty() ? inlineState_.data() : heapState_.data(); }

    const PatternSet* set_ = nullptr;
    std::string_view subject_;
    bool noneFound_ = false;
    // The answers so far; most rule lists fit the inline room, so a scan needs no allocation.
    std::array<uint8_t, 64> inlineState_{};
    std::vector<uint8_t> heapState_;
  };

  // Runs the one pass over subject (nothing else until Found is asked).
  Scan ScanSubject(std::string_view subject) const;

 private:
  struct OnePass;
  // A scan of subject with no answer known yet.
  Scan NewScan(std::string_view subject) const {
    Scan scan;
    scan.set_ = this;
    scan.subject_ = subject;
    if (patterns_.size() > scan.inlineState_.size()) scan.heapState_.assign(patterns_.size(), Scan::kUnknown);
    return scan;
  }

  std::vector<CompiledPatternPtr> patterns_;
  std::unique_ptr<OnePass> onePass_;
};

}  // namespace vell

#endif  // VELL_PATTERN_PATTERN_SET_H_
