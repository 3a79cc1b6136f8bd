// The reader of vell's pattern syntax: turns pattern text into a small syntax tree from which each
// matching engine's own form is produced. The tree already carries the syntax's fixed meaning:
// letter case is ignored (ASCII only), classes are the C locale's, there are no back-references.
#ifndef VELL_PATTERN_PATTERN_SYNTAX_H_
#define VELL_PATTERN_PATTERN_SYNTAX_H_

#include <bitset>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vell {

// One bit per byte value.
using ByteSet = std::bitset<256>;

enum class PatternAssertion {
  kLineStart,         // ^  start of subject, after LF, after a CR that no LF follows
  kLineEnd,           // $  end of subject, before CR, before an LF that no CR precedes
  kSubjectStart,      // \A \` \G
  kSubjectEnd,        // \z \'
  kSubjectEndBreaks,  // \Z  end of subject, or before a run of CR and LF that reaches it
  kWordBoundary,      // \b
  kNotWordBoundary,   // \B
  kWordStart,         // \<
  kWordEnd,           // \>
};

struct PatternNode {
  enum class Kind {
    kEmpty,          // matches the empty string: an empty alternative or group
    kAlternation,    // children, at least two, tried as alternatives
    kConcatenation,  // children, at least two, in sequence
    kGroup,          // one child; captured as group number `group`
    kRepeat,         // one child, repeated min..max times (max kUnbounded: no limit), greedy
    kLiteral,        // the byte `byte`, letter case ignored
    kByteSet,        // any one byte of `bytes` (letter case already closed over)
    kAssertion,      // the zero-width test `assertion`
  };
  static constexpr int kUnbounded = -1;

  Kind kind = Kind::kEmpty;
  std::vector<PatternNode> children;
  int group = 0;
  int min = 0;
  int max = kUnbounded;
  unsigned char byte = 0;
  ByteSet bytes;
  PatternAssertion assertion = PatternAssertion::kSubjectStart;
};

struct PatternSyntax {
  PatternNode root;
  int groupCount = 0;  // groups are numbered 1..groupCount
};

struct PatternParse {
  std::optional<PatternSyntax> syntax;  // set when the pattern is valid
  std::string error;                    // short reason when it is not
};

// Reads pattern. Never throws for any bytes of any length; an invalid pattern (the empty one
// included) gives no syntax and a reason such as `"*" has nothing to repeat at offset 0`.
PatternParse ParsePattern(std::string_view pattern);

// Properties of a node shared by the engines' forms. MayMatchEmpty: some match of node consumes
// nothing (assertions count: they consume no byte). AlwaysMatchesEmpty: node matches the empty
// string at every position, whatever surrounds it (no assertion in the way).
bool MayMatchEmpty(const PatternNode& node);
bool AlwaysMatchesEmpty(const PatternNode& node);

// Byte classes shared by the engines' forms. Only ASCII bytes belong to any class.
bool IsWordByte(unsigned char c);  // letter, digit or underscore
bool IsLetterByte(unsigned char c);
unsigned char ToLowerAscii(unsigned char c);
unsigned char ToUpperAscii(unsigned char c);

// Writing helpers shared by the engines' forms: a byte as "\xHH", and a set as a bracket list of
// such escapes with ranges (the set must not be empty).
void AppendHexEscape(std::string& out, unsigned char c);
void AppendByteSetBracket(std::string& out, const ByteSet& set);

}  // namespace vell

#endif  // VELL_PATTERN_PATTERN_SYNTAX_H_
