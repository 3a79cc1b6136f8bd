// The naive reference matcher: reads the syntax tree literally, as slowly as it likes. Tests only.
#ifndef VELL_TESTS_REFERENCE_REFERENCE_MATCHER_H_
#define VELL_TESTS_REFERENCE_REFERENCE_MATCHER_H_

#include <optional>
#include <set>
#include <string_view>

#include "pattern/pattern.h"
#include "pattern/pattern_syntax.h"

namespace vell::reference {

// A naive reader of the syntax tree: the set of end positions of every way a node can match from a
// given start. Slow and literal, it checks the engine's form on generated patterns and subjects.
class ReferenceMatcher {
 public:
  explicit ReferenceMatcher(std::string_view subject) : s_(subject) {}

  std::set<std::size_t> Ends(const PatternNode& node, std::size_t at) const {
    using Kind = PatternNode::Kind;
    switch (node.kind) {
      case Kind::kEmpty:
        return {at};
      case Kind::kLiteral:
        if (at < s_.size() && ToLowerAscii(Byte(at)) == ToLowerAscii(node.byte)) return {at + 1};
        return {};
      case Kind::kByteSet:
        if (at < s_.size() && node.bytes.test(Byte(at))) return {at + 1};
        return {};
      case Kind::kAssertion:
        if (Holds(node.assertion, at)) return {at};
        return {};
      case Kind::kGroup:
        return Ends(node.children.front(), at);
      case Kind::kAlternation: {
        std::set<std::size_t> ends;
        for (const auto& child : node.children) ends.merge(Ends(child, at));
        return ends;
      }
      case Kind::kConcatenation: {
        std::set<std::size_t> current{at};
        for (const auto& child : node.children) current = Step(child, current);
        return current;
      }
      case Kind::kRepeat: {
        std::set<std::size_t> current{at};
        std::set<std::size_t> ends;
        for (int count = 0;; ++count) {
          if (count >= node.min) {
            const std::size_t before = ends.size();
            ends.insert(current.begin(), current.end());
            if (count > node.min && ends.size() == before) break;
          }
          if (count == node.max || current.empty()) break;
          current = Step(node.children.front(), current);
        }
        return ends;
      }
    }
    return {};
  }

 private:
  unsigned char Byte(std::size_t i) const { return static_cast<unsigned char>(s_[i]); }
  bool WordAt(std::size_t i) const { return i < s_.size() && IsWordByte(Byte(i)); }
  bool WordBefore(std::size_t i) const { return i > 0 && IsWordByte(Byte(i - 1)); }

  std::set<std::size_t> Step(const PatternNode& node, const std::set<std::size_t>& from) const {
    std::set<std::size_t> next;
    for (std::size_t p : from) next.merge(Ends(node, p));
    return next;
  }

  bool Holds(PatternAssertion assertion, std::size_t i) const {
    const std::size_t n = s_.size();
    switch (assertion) {
      case PatternAssertion::kLineStart:
        return i == 0 || s_[i - 1] == '\n' || (s_[i - 1] == '\r' && (i == n || s_[i] != '\n'));
      case PatternAssertion::kLineEnd:
        return i == n || s_[i] == '\r' || (s_[i] == '\n' && (i == 0 || s_[i - 1] != '\r'));
      case PatternAssertion::kSubjectStart:
        return i == 0;
      case PatternAssertion::kSubjectEnd:
        return i == n;
      case PatternAssertion::kSubjectEndBreaks:
        return s_.find_first_not_of("\r\n", i) == std::string_view::npos;
      case PatternAssertion::kWordBoundary:
        return WordBefore(i) != WordAt(i);
      case PatternAssertion::kNotWordBoundary:
        return WordBefore(i) == WordAt(i);
      case PatternAssertion::kWordStart:
        return !WordBefore(i) && WordAt(i);
      case PatternAssertion::kWordEnd:
        return WordBefore(i) && !WordAt(i);
    }
    return false;
  }

  std::string_view s_;
};

inline std::optional<CompiledPattern::Span> ReferenceFindFirst(const PatternNode& root,
                                                        std::string_view subject) {
  const ReferenceMatcher matcher(subject);
  for (std::size_t start = 0; start <= subject.size(); ++start) {
    const auto ends = matcher.Ends(root, start);
    if (!ends.empty()) return CompiledPattern::Span{start, *ends.rbegin()};
  }
  return std::nullopt;
}

}  // namespace vell::reference

#endif  // VELL_TESTS_REFERENCE_REFERENCE_MATCHER_H_
