// Writes the RE2 form of a pattern's syntax tree, for the linear-time search.
#include "pattern/pattern_re2.h"

#include <vector>

namespace vell {

namespace {

using Kind = PatternNode::Kind;

// RE2 refuses repeat bounds above this.
constexpr int kRe2MaxRepeat = 1000;

struct Untranslatable {
  std::string why;
};

using Nodes = std::vector<const PatternNode*>;

// May a match of node be empty somewhere (assertions count: they consume nothing)?
bool MayBeEmpty(const PatternNode& node) {
  switch (node.kind) {
    case Kind::kEmpty:
    case Kind::kAssertion:
      return true;
    case Kind::kAlternation:
      for (const PatternNode& child : node.children) {
        if (MayBeEmpty(child)) return true;
      }
      return false;
    case Kind::kConcatenation:
      for (const PatternNode& child : node.children) {
        if (!MayBeEmpty(child)) return false;
      }
      return true;
    case Kind::kGroup:
      return MayBeEmpty(node.children.front());
    case Kind::kRepeat:
      return node.min == 0 || MayBeEmpty(node.children.front());
    case Kind::kLiteral:
    case Kind::kByteSet:
      return false;
  }
  return true;
}

// Does node match the empty string at every position (no assertion in the way)?
bool AlwaysMatchesEmpty(const PatternNode& node) {
  switch (node.kind) {
    case Kind::kEmpty:
      return true;
    case Kind::kAssertion:
    case Kind::kLiteral:
    case Kind::kByteSet:
      return false;
    case Kind::kAlternation:
      for (const PatternNode& child : node.children) {
        if (AlwaysMatchesEmpty(child)) return true;
      }
      return false;
    case Kind::kConcatenation:
      for (const PatternNode& child : node.children) {
        if (!AlwaysMatchesEmpty(child)) return false;
      }
      return true;
    case Kind::kGroup:
      return AlwaysMatchesEmpty(node.children.front());
    case Kind::kRepeat:
      return node.min == 0 || AlwaysMatchesEmpty(node.children.front());
  }
  return false;
}

bool AlwaysMatchesEmpty(const Nodes& sequence) {
  for (const PatternNode* node : sequence) {
    if (!AlwaysMatchesEmpty(*node)) return false;
  }
  return true;
}

// Does the node hold a line anchor, whose own written form may consume a CR or LF?
bool HasLineAnchor(const PatternNode& node) {
  if (node.kind == Kind::kAssertion) {
    return node.assertion == PatternAssertion::kLineStart ||
           node.assertion == PatternAssertion::kLineEnd ||
           node.assertion == PatternAssertion::kSubjectEndBreaks;
  }
  for (const PatternNode& child : node.children) {
    if (HasLineAnchor(child)) return true;
  }
  return false;
}

// Can another line anchor be reached from one end of the sequence without consuming a byte? Its
// written form could then consume the same CR or LF as this anchor's. Anchors that lie behind a
// node that always consumes are too far away to interfere.
bool LineAnchorWithinReach(const Nodes& sequence, bool fromEnd) {
  const std::size_t n = sequence.size();
  for (std::size_t k = 0; k < n; ++k) {
    const PatternNode& node = *sequence[fromEnd ? n - 1 - k : k];
    if (HasLineAnchor(node)) return true;
    if (!MayBeEmpty(node)) return false;
  }
  return false;
}

ByteSet LiteralBytes(unsigned char c) {
  ByteSet set;
  set.set(c);
  set.set(ToLowerAscii(c));
  set.set(ToUpperAscii(c));
  return set;
}

// The bytes a match of node can begin with (fromEnd: end with); a superset is fine.
ByteSet EdgeBytes(const PatternNode& node, bool fromEnd);

ByteSet EdgeBytes(const Nodes& sequence, bool fromEnd) {
  ByteSet set;
  const std::size_t n = sequence.size();
  for (std::size_t k = 0; k < n; ++k) {
    const PatternNode& node = *sequence[fromEnd ? n - 1 - k : k];
    set |= EdgeBytes(node, fromEnd);
    if (!MayBeEmpty(node)) break;
  }
  return set;
}

ByteSet EdgeBytes(const PatternNode& node, bool fromEnd) {
  switch (node.kind) {
    case Kind::kEmpty:
    case Kind::kAssertion:
      return {};
    case Kind::kAlternation: {
      ByteSet set;
      for (const PatternNode& child : node.children) set |= EdgeBytes(child, fromEnd);
      return set;
    }
    case Kind::kConcatenation: {
      Nodes children;
      for (const PatternNode& child : node.children) children.push_back(&child);
      return EdgeBytes(children, fromEnd);
    }
    case Kind::kGroup:
    case Kind::kRepeat:
      return EdgeBytes(node.children.front(), fromEnd);
    case Kind::kLiteral:
      return LiteralBytes(node.byte);
    case Kind::kByteSet:
      return node.bytes;
  }
  return {};
}

class Writer {
 public:
  // Writes node. first/last: nothing can be consumed before/after it in a match of the whole
  // pattern; before/after: the nodes that precede and follow it in the whole pattern, outermost
  // included, for the line anchors' neighbourhood tests.
  void Write(const PatternNode& node, bool first, bool last, const Nodes& before,
             const Nodes& after) {
    switch (node.kind) {
      case Kind::kEmpty:
        out_ += "(?:)";
        return;
      case Kind::kAlternation:
        out_ += "(?:";
        for (std::size_t i = 0; i < node.children.size(); ++i) {
          if (i > 0) out_ += '|';
          Write(node.children[i], first, last, before, after);
        }
        out_ += ')';
        return;
      case Kind::kConcatenation: {
        const std::size_t n = node.children.size();
        for (std::size_t i = 0; i < n; ++i) {
          Nodes prior = before;
          for (std::size_t k = 0; k < i; ++k) prior.push_back(&node.children[k]);
          Nodes following;
          for (std::size_t k = i + 1; k < n; ++k) following.push_back(&node.children[k]);
          following.insert(following.end(), after.begin(), after.end());
          Write(node.children[i], first && i == 0, last && i + 1 == n, prior, following);
        }
        return;
      }
      case Kind::kGroup:
        out_ += "(?:";
        Write(node.children.front(), first, last, before, after);
        out_ += ')';
        return;
      case Kind::kRepeat: {
        if (node.min > kRe2MaxRepeat || node.max > kRe2MaxRepeat) {
          throw Untranslatable{"a repeat bound above " + std::to_string(kRe2MaxRepeat)};
        }
        out_ += "(?:";
        Write(node.children.front(), false, false, {}, {});
        out_ += "){" + std::to_string(node.min) + ',';
        if (node.max != PatternNode::kUnbounded) out_ += std::to_string(node.max);
        out_ += '}';
        return;
      }
      case Kind::kLiteral:
        if (IsLetterByte(node.byte)) {
          out_ += '[';
          out_ += static_cast<char>(ToLowerAscii(node.byte));
          out_ += static_cast<char>(ToUpperAscii(node.byte));
          out_ += ']';
        } else {
          AppendByte(node.byte);
        }
        return;
      case Kind::kByteSet:
        if (node.bytes.none()) {
          out_ += "[^\\x00-\\xFF]";
        } else if (node.bytes.count() == 1) {
          for (int c = 0; c < 256; ++c) {
            if (node.bytes.test(c)) AppendByte(static_cast<unsigned char>(c));
          }
        } else {
          AppendByteSetBracket(out_, node.bytes);
        }
        return;
      case Kind::kAssertion:
        WriteAssertion(node.assertion, first, last, before, after);
        return;
    }
  }

  std::string Take() { return std::move(out_); }

 private:
  // RE2 (as packaged here) loses the Latin-1 reading of a byte from 0x80 up when it factors a
  // common leading literal out of alternatives, as in "\x80a|\x80b", and then never matches it.
  // Written as a one-time repeat, the byte is not a plain literal while the pattern is parsed, so
  // it is not factored that way; the repeat is simplified away before matching.
  void AppendByte(unsigned char c) {
    AppendHexEscape(out_, c);
    if (c >= 0x80) out_ += "{1}";
  }

  void WriteAssertion(PatternAssertion assertion, bool first, bool last, const Nodes& before,
                      const Nodes& after) {
    switch (assertion) {
      case PatternAssertion::kSubjectStart:
        out_ += "\\A";
        return;
      case PatternAssertion::kSubjectEnd:
        out_ += "\\z";
        return;
      case PatternAssertion::kWordBoundary:
        out_ += "\\b";
        return;
      case PatternAssertion::kNotWordBoundary:
        out_ += "\\B";
        return;
      case PatternAssertion::kLineStart:
        // First in the pattern, "^" may consume the CR or LF before the match. That answers
        // differently only between the CR and LF of a pair, where what follows would have to begin
        // with the LF; and not at all when what follows matches the empty string anywhere.
        if (first && !LineAnchorWithinReach(after, false) &&
            (!EdgeBytes(after, false).test('\n') || AlwaysMatchesEmpty(after))) {
          out_ += "(?:\\A|[\\x0A\\x0D])";
          return;
        }
        throw Untranslatable{"\"^\" other than at the start of the pattern"};
      case PatternAssertion::kLineEnd:
        // The mirror image: last in the pattern, "$" may consume the CR or LF after the match.
        if (last && !LineAnchorWithinReach(before, true) &&
            (!EdgeBytes(before, true).test('\r') || AlwaysMatchesEmpty(before))) {
          out_ += "(?:\\z|[\\x0A\\x0D])";
          return;
        }
        throw Untranslatable{"\"$\" other than at the end of the pattern"};
      case PatternAssertion::kSubjectEndBreaks:
        if (last) {
          out_ += "[\\x0A\\x0D]*\\z";
          return;
        }
        throw Untranslatable{"\"\\Z\" other than at the end of the pattern"};
      case PatternAssertion::kWordStart:
        throw Untranslatable{"\"\\<\""};
      case PatternAssertion::kWordEnd:
        throw Untranslatable{"\"\\>\""};
    }
  }

  std::string out_;
};

}  // namespace

re2::RE2::Options LinearEngineOptions() {
  re2::RE2::Options options;
  options.set_encoding(re2::RE2::Options::EncodingLatin1);
  options.set_case_sensitive(true);  // the form spells out both cases of every letter
  options.set_never_capture(true);
  options.set_log_errors(false);
  return options;
}

Re2Form WriteRe2Form(const PatternSyntax& syntax) {
  try {
    Writer writer;
    writer.Write(syntax.root, true, true, {}, {});
    return {writer.Take(), ""};
  } catch (const Untranslatable& e) {
    return {"", e.why};
  }
}

}  // namespace vell
