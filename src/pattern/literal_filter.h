// A quick "cannot match" answer before a pattern's engine runs: texts of which every match of the
// pattern contains one at least. A subject that holds none of them needs no engine at all, which
// is most subjects for most rules (a method is rarely "TRACE", a referer rarely names a casino).
#ifndef VELL_PATTERN_LITERAL_FILTER_H_
#define VELL_PATTERN_LITERAL_FILTER_H_

#include <array>
#include <cstddef>
#include <cstdint>
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

// The texts of several filters in one check, for a list of patterns searched together: a subject
// that holds no text of any filter holds no match of any of the patterns. Quicker than one pass
// of the patterns' engine over a subject that holds none, whatever the subject's length: one
// table entry (of 64 KiB) looked up for each two bytes of the subject, and only the texts that
// begin with those two bytes compared there.
class LiteralSetFilter {
 public:
  // The union of filters, or nothing when the list is empty or holds a null entry (a pattern that
  // may match without any of a short list of texts).
  static std::optional<LiteralSetFilter> Of(const std::vector<const LiteralFilter*>& filters);

  // False only when subject holds no text of any filter (ASCII letter case ignored).
  bool MayMatch(std::string_view subject) const;

 private:
  LiteralSetFilter() = default;
  // Whether a text of texts_[begin, end), whose first `known` bytes are known to match, stands at
  // the start of bytes (room bytes long).
  bool TextAt(const unsigned char* bytes, std::size_t room, uint32_t begin, uint32_t end,
              std::size_t known) const;

  // What a pair of subject bytes (as two bytes read in memory order) may begin: nothing, a text of
  // one byte (the first), the texts of one first byte, or the texts of one pair (kFirstPairBucket
  // plus its place in pairBuckets_).
  enum : uint8_t { kNoText = 0, kOneByteText = 1, kFirstByteTexts = 2, kFirstPairBucket = 3 };
  std::vector<std::string> texts_;  // sorted: texts of one beginning are together
  std::array<uint32_t, 257> firstText_{};  // texts_[firstText_[b], firstText_[b + 1]) begin with b
  std::vector<std::array<uint32_t, 2>> pairBuckets_;  // texts_ ranges of one two-byte beginning
  std::vector<uint8_t> pairs_;
  std::array<bool, 256> oneByteText_{};  // per subject byte, in either case: a text of one byte
};

}  // namespace vell

#endif  // VELL_PATTERN_LITERAL_FILTER_H_
