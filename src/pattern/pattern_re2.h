// The linear-time engine's form of a pattern: RE2 syntax, written from the same syntax tree as the
// backtracking engine's form, for deciding whether a pattern occurs at all.
#ifndef VELL_PATTERN_PATTERN_RE2_H_
#define VELL_PATTERN_PATTERN_RE2_H_

#include <string>

#include <re2/re2.h>

#include "pattern/pattern_syntax.h"

namespace vell {

struct Re2Form {
  // The RE2 pattern, or empty when the tree has no exact RE2 form.
  std::string pattern;
  // Why there is none (shown by vell check), empty when there is.
  std::string whyNot;
};

// An RE2 pattern (Latin-1, case-sensitive, default Perl-like syntax) that occurs in a subject
// exactly when the tree does. Line anchors, which RE2 does not place at a CR, are written out for
// the positions where consuming the neighbouring byte does not change the answer (a leading "^", a
// trailing "$" or "\Z"); any other place of them, "\<", "\>" and repeat bounds beyond RE2's limit
// have no exact form.
Re2Form WriteRe2Form(const PatternSyntax& syntax);

// The options every RE2 form is compiled with: Latin-1 bytes, letter case as written, no captures.
re2::RE2::Options LinearEngineOptions();

}  // namespace vell

#endif  // VELL_PATTERN_PATTERN_RE2_H_
