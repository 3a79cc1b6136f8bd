// A quick "cannot match" answer before a pattern's engine runs: texts of which every match of the
// pattern contains one at least. A subject that holds none of them needs no engine at all, which
// is most subjects for most rules (a method is rarely "TRACE", a referer rarely names a casino).
#ifndef VELL_PATTERN_LITERAL_FILTER_H_
#define VELL_PATTERN_LITERAL_FILTER_H_

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pattern/pattern_syntax.h"

namespace vell {

class LiteralFilter {
 public:
  // The filter for a pattern's tree, or nothing when some match may hold none of a short list of
  // non-empty texts (".*", "a?", "[^x]", "^$").
  static std::optional<LiteralFilter> For(const PatternNode& root);

  // False only when the pattern cannot occur in subject: subject holds none of the texts, ASCII
  // letter case ignored. Subjects too long to be worth checking answer true.
  bool MayMatch(std::string_view subject) const;

  // The texts, in lower case, each 1 to kLongestText bytes long (a required text's beginning is
  // required too, and short texts keep the check quick whatever the subject).
  static constexpr std::size_t kLongestText = 8;
  const std::vector<std::string>& texts() const { return texts_; }

 private:
  explicit LiteralFilter(std::vector<std::string> texts);
  std::vector<std::string> texts_;
  std::array<bool, 256> startsText_{};  // the bytes, in either case, that begin some text
};

}  // namespace vell

#endif  // VELL_PATTERN_LITERAL_FILTER_H_
