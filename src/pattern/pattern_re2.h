// The linear-time engine's forms of a pattern: RE2 syntax, written from the same syntax tree as the
// backtracking engine's form, for deciding whether a pattern occurs and for finding where.
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
  // The span form holds a line anchor, whose RE2 form is exact only in subjects without a CR.
  bool lineAnchors = false;
};

// An RE2 pattern (Latin-1, case-sensitive, default Perl-like syntax) that occurs in a subject
// exactly when the tree does. Line anchors, which RE2 does not place at a CR, are written out for
// the positions where consuming the neighbouring byte does not change the answer (a leading "^", a
// trailing "$" or "\Z"), and elsewhere where the neighbouring bytes of the pattern settle whether
// they hold; "\<" and "\>" become "\b" (or never hold) where a neighbour settles the other side;
// repeat bounds beyond RE2's limit become consecutive repeats. Anything else has no exact form.
// Takes time in proportion to the tree's size.
Re2Form WriteRe2Form(const PatternSyntax& syntax);

// An RE2 pattern with the tree's groups as its capturing groups, same numbers, whose
// leftmost-longest match (SpanEngineOptions) is the tree's in any subject, or with lineAnchors in
// any subject that holds no CR: line anchors are RE2's multi-line ones, which consume nothing.
// "\Z" and what WriteRe2Form cannot write have no span form.
Re2Form WriteRe2SpanForm(const PatternSyntax& syntax);

// The options every RE2 form is compiled with: Latin-1 bytes, letter case as written, no captures.
re2::RE2::Options LinearEngineOptions();
// The span form's: the same with captures and leftmost-longest matching.
re2::RE2::Options SpanEngineOptions();

}  // namespace vell

#endif  // VELL_PATTERN_PATTERN_RE2_H_
