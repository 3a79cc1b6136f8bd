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
// hold those two bytes at their anchor compared there. Each text is anchored on its least common
// two bytes (by the letters' and digits' frequency in URLs and words), not on its first two, so
// that the ordinary pairs of a URL ("co", "/c", "ph") seldom stop the scan.
class LiteralSetFilter {
 public:
  // The union of filters, or nothing when the list is empty or holds a null entry (a pattern that
  // may match without any of a short list of texts).
  static std::optional<LiteralSetFilter> Of(const std::vector<const LiteralFilter*>& filters);

  // False only when subject holds no text of any filter (ASCII letter case ignored).
  bool MayMatch(std::string_view subject) const;

 private:
  LiteralSetFilter() = default;

  // A text of two bytes or more, and where in it its anchor pair stands.
  struct Anchored {
    uint32_t text;
    uint32_t offset;
  };
  // Whether a text of anchored_[begin, end) stands around the anchor found at bytes[at].
  bool TextAround(const unsigned char* bytes, std::size_t size, std::size_t at, uint32_t begin,
                  uint32_t end) const;

  // What a pair of subject bytes (as two bytes read in memory order) may be: nothing, the start
  // of a text of one byte (the first), or the anchor of the texts of one bucket (kFirstBucket plus
  // its place in buckets_). Past the numbers an entry holds, the anchors share the last bucket.
  enum : uint8_t { kNoText = 0, kOneByteText = 1, kFirstBucket = 2 };
  std::vector<std::string> texts_;
  std::vector<Anchored> anchored_;  // by bucket
  std::vector<std::array<uint32_t, 2>> buckets_;  // anchored_ ranges
  std::vector<uint8_t> pairs_;
  std::array<bool, 256> oneByteText_{};  // per subject byte, in either case: a text of one byte
};

}  // namespace vell

#endif  // VELL_PATTERN_LITERAL_FILTER_H_
