// Writes the RE2 forms of a pattern's syntax tree: the search form and the capturing span form.
#include "pattern/pattern_re2.h"

#include <unordered_map>
#include <vector>

namespace vell {

namespace {

using Kind = PatternNode::Kind;

// RE2 refuses repeat bounds above this.
constexpr int kRe2MaxRepeat = 1000;
// A larger bound is written as consecutive repeats of at most kRe2MaxRepeat each (RE2 also refuses
// nested repeats whose counts multiply past its limit), up to this many of them.
constexpr int kMostRepeatCopies = 64;
// A form longer than this is not worth handing to RE2, which would refuse it for its size.
constexpr std::size_t kLongestForm = 16u << 20;
// How far the neighbourhood of an assertion is looked at; past it the neighbours count as unknown,
// which keeps every look short whatever the pattern's length.
constexpr int kLookLimit = 64;

struct Untranslatable {
  std::string why;
};

ByteSet Bytes(std::initializer_list<unsigned char> bytes) {
  ByteSet set;
  for (unsigned char c : bytes) set.set(c);
  return set;
}

const ByteSet kLineBreaks = Bytes({'\r', '\n'});

const ByteSet& WordBytes() {
  static const ByteSet set = [] {
    ByteSet s;
    for (int c = 0; c < 256; ++c) {
      if (IsWordByte(static_cast<unsigned char>(c))) s.set(c);
    }
    return s;
  }();
  return set;
}

bool Within(const ByteSet& set, const ByteSet& allowed) { return (set & ~allowed).none(); }
bool Apart(const ByteSet& set, const ByteSet& other) { return (set & other).none(); }

// What the writer needs to know of each node, worked out once for the whole tree.
struct NodeFacts {
  bool mayBeEmpty = false;       // some match consumes nothing
  bool alwaysEmpty = false;      // matches the empty string at every position
  bool lineAnchor = false;       // holds "^", "$" or "\Z", whose written form may consume a byte
  bool notWordBoundary = false;  // holds "\B"
  ByteSet first;                 // bytes a match can begin with (a superset)
  ByteSet last;                  // bytes a match can end with (a superset)
};

class TreeFacts {
 public:
  explicit TreeFacts(const PatternNode& root) { Compute(root); }
  const NodeFacts& Of(const PatternNode& node) const { return facts_.at(&node); }

 private:
  const NodeFacts& Compute(const PatternNode& node) {
    NodeFacts f;
    switch (node.kind) {
      case Kind::kEmpty:
        f.mayBeEmpty = f.alwaysEmpty = true;
        break;
      case Kind::kAssertion:
        f.mayBeEmpty = true;
        f.lineAnchor = node.assertion == PatternAssertion::kLineStart ||
                       node.assertion == PatternAssertion::kLineEnd ||
                       node.assertion == PatternAssertion::kSubjectEndBreaks;
        f.notWordBoundary = node.assertion == PatternAssertion::kNotWordBoundary;
        break;
      case Kind::kLiteral:
        f.first = f.last = Bytes({node.byte, ToLowerAscii(node.byte), ToUpperAscii(node.byte)});
        break;
      case Kind::kByteSet:
        f.first = f.last = node.bytes;
        break;
      case Kind::kAlternation:
        for (const PatternNode& child : node.children) {
          const NodeFacts& c = Compute(child);
          f.mayBeEmpty |= c.mayBeEmpty;
          f.alwaysEmpty |= c.alwaysEmpty;
          Merge(f, c);
          f.first |= c.first;
          f.last |= c.last;
        }
        break;
      case Kind::kConcatenation: {
        f.mayBeEmpty = f.alwaysEmpty = true;
        bool startOpen = true;  // nothing consumed yet on every way through the children so far
        for (const PatternNode& child : node.children) {
          const NodeFacts& c = Compute(child);
          Merge(f, c);
          if (startOpen) f.first |= c.first;
          startOpen = startOpen && c.mayBeEmpty;
          f.mayBeEmpty &= c.mayBeEmpty;
          f.alwaysEmpty &= c.alwaysEmpty;
          f.last = c.mayBeEmpty ? (f.last | c.last) : c.last;
        }
        break;
      }
      case Kind::kGroup:
      case Kind::kRepeat: {
        const NodeFacts& c = Compute(node.children.front());
        f = c;
        if (node.kind == Kind::kRepeat && node.min == 0) f.mayBeEmpty = f.alwaysEmpty = true;
        break;
      }
    }
    return facts_[&node] = f;
  }

  static void Merge(NodeFacts& into, const NodeFacts& child) {
    into.lineAnchor |= child.lineAnchor;
    into.notWordBoundary |= child.notWordBoundary;
  }

  std::unordered_map<const PatternNode*, NodeFacts> facts_;
};

// Where a node stands: its place among the children of a concatenation, and that concatenation's
// own place further out. Alternatives and groups pass their place on; a repeat's child starts
// afresh, since what lies around one pass is another pass or anything.
struct Place {
  const std::vector<PatternNode>* siblings = nullptr;
  std::size_t index = 0;
  const Place* outer = nullptr;
};

// What lies on one side of a place, nearest first, up to the first node that surely consumes.
struct Side {
  bool surelyConsumes = false;   // some node on the way consumes a byte in every match
  ByteSet edge;                  // the bytes next to the place, when surelyConsumes
  bool lineAnchor = false;       // a line anchor is reached before anything is consumed
  bool notWordBoundary = false;  // a "\B" is reached before anything is consumed
  bool alwaysEmpty = true;       // everything on that side matches the empty string anywhere
};

class Writer {
 public:
  Writer(const TreeFacts& facts, bool spanForm) : facts_(facts), spanForm_(spanForm) {}

  // Writes node. first/last: nothing can be consumed before/after it in a match of the whole
  // pattern; place: where it stands, for the assertions' neighbourhood tests.
  void Write(const PatternNode& node, bool first, bool last, const Place* place) {
    switch (node.kind) {
      case Kind::kEmpty:
        out_ += "(?:)";
        return;
      case Kind::kAlternation:
        out_ += "(?:";
        for (std::size_t i = 0; i < node.children.size(); ++i) {
          if (i > 0) out_ += '|';
          Write(node.children[i], first, last, place);
        }
        out_ += ')';
        return;
      case Kind::kConcatenation: {
        const std::size_t n = node.children.size();
        for (std::size_t i = 0; i < n; ++i) {
          const Place inner{&node.children, i, place};
          Write(node.children[i], first && i == 0, last && i + 1 == n, &inner);
        }
        return;
      }
      case Kind::kGroup:
        out_ += spanForm_ && noCapture_ == 0 ? "(" : "(?:";
        Write(node.children.front(), first, last, place);
        out_ += ')';
        return;
      case Kind::kRepeat:
        WriteRepeat(node);
        return;
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
          WriteNever();
        } else if (node.bytes.count() == 1) {
          for (int c = 0; c < 256; ++c) {
            if (node.bytes.test(c)) AppendByte(static_cast<unsigned char>(c));
          }
        } else {
          AppendByteSetBracket(out_, node.bytes);
        }
        return;
      case Kind::kAssertion:
        WriteAssertion(node.assertion, first, last, place);
        return;
    }
  }

  std::string Take() { return std::move(out_); }
  bool lineAnchors() const { return lineAnchors_; }

 private:
  enum class Fixed { kUnknown, kAlways, kNever };

  // RE2 (as packaged here) loses the Latin-1 reading of a byte from 0x80 up when it factors a
  // common leading literal out of alternatives, as in "\x80a|\x80b", and then never matches it.
  // Written as a one-time repeat, the byte is not a plain literal while the pattern is parsed, so
  // it is not factored that way; the repeat is simplified away before matching.
  void AppendByte(unsigned char c) {
    AppendHexEscape(out_, c);
    if (c >= 0x80) out_ += "{1}";
  }

  void WriteNever() { out_ += "[^\\x00-\\xFF]"; }

  void WriteRepeat(const PatternNode& node) {
    const PatternNode& child = node.children.front();
    const auto bound = [](int n) { return std::to_string(n); };
    if (node.min <= kRe2MaxRepeat && node.max <= kRe2MaxRepeat) {
      out_ += "(?:";
      Write(child, false, false, nullptr);
      out_ += "){" + bound(node.min) + ',';
      if (node.max != PatternNode::kUnbounded) out_ += bound(node.max);
      out_ += '}';
      return;
    }
    // X{m,n} is X{m} then X{0,n-m}; each part as consecutive repeats of at most the limit, so
    // that the language is the same. In the span form only the last pass captures.
    const int required = node.min;
    const int optional = node.max == PatternNode::kUnbounded ? -1 : node.max - node.min;
    const int copies = (required + kRe2MaxRepeat - 1) / kRe2MaxRepeat +
                       (optional < 0 ? 1 : (optional + kRe2MaxRepeat - 1) / kRe2MaxRepeat);
    if (copies > kMostRepeatCopies) {
      throw Untranslatable{"a repeat bound above " + bound(kMostRepeatCopies * kRe2MaxRepeat)};
    }
    const std::string quiet = WriteApart(child, true);
    const std::string capturing = spanForm_ && noCapture_ == 0 ? WriteApart(child, false) : quiet;
    std::vector<std::string> parts;
    for (int left = required; left > 0; left -= kRe2MaxRepeat) {
      parts.push_back('{' + bound(std::min(left, kRe2MaxRepeat)) + '}');
    }
    if (optional < 0) {
      parts.push_back("*");
    } else {
      for (int left = optional; left > 0; left -= kRe2MaxRepeat) {
        parts.push_back("{0," + bound(std::min(left, kRe2MaxRepeat)) + '}');
      }
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
      out_ += "(?:";
      out_ += i + 1 == parts.size() ? capturing : quiet;
      out_ += ')' + parts[i];
      if (out_.size() > kLongestForm) throw Untranslatable{"a form too large for the linear-time engine"};
    }
  }

  // The form of node on its own (a repeat's child), without captures when quiet.
  std::string WriteApart(const PatternNode& node, bool quiet) {
    std::string saved = std::move(out_);
    out_.clear();
    noCapture_ += quiet ? 1 : 0;
    Write(node, false, false, nullptr);
    noCapture_ -= quiet ? 1 : 0;
    std::string written = std::move(out_);
    out_ = std::move(saved);
    return written;
  }

  Side Look(const Place* place, bool forward) const {
    Side side;
    int steps = 0;
    for (; place != nullptr; place = place->outer) {
      const std::vector<PatternNode>& siblings = *place->siblings;
      const std::size_t n = siblings.size();
      for (std::size_t k = 1; forward ? place->index + k < n : k <= place->index; ++k) {
        if (++steps > kLookLimit) return Unknown();
        const NodeFacts& f = facts_.Of(siblings[forward ? place->index + k : place->index - k]);
        side.edge |= forward ? f.first : f.last;
        side.lineAnchor |= f.lineAnchor;
        side.notWordBoundary |= f.notWordBoundary;
        side.alwaysEmpty &= f.alwaysEmpty;
        if (!f.mayBeEmpty) {
          side.surelyConsumes = true;
          return side;
        }
      }
    }
    return side;
  }

  static Side Unknown() {
    Side side;
    side.edge.set();
    side.lineAnchor = side.notWordBoundary = true;
    side.alwaysEmpty = false;
    return side;
  }

  bool WriteFixed(Fixed fixed) {
    if (fixed == Fixed::kAlways) out_ += "(?:)";
    if (fixed == Fixed::kNever) WriteNever();
    return fixed != Fixed::kUnknown;
  }

  // A line anchor between two bytes of the match, settled by the byte on its near side: "^" holds
  // after a LF, and after a CR that no LF follows (near: before, sure: LF, unless: CR); "$" holds
  // before a CR, and before a LF that no CR precedes (near: after, sure: CR, unless: LF).
  static Fixed LineAnchorBetween(const Side& near, const Side& far, unsigned char sure,
                                 unsigned char unless) {
    if (!near.surelyConsumes) return Fixed::kUnknown;
    if (Apart(near.edge, kLineBreaks)) return Fixed::kNever;
    if (!Within(near.edge, kLineBreaks)) return Fixed::kUnknown;
    if (!near.edge.test(unless)) return Fixed::kAlways;
    if (far.surelyConsumes && !far.edge.test(sure)) return Fixed::kAlways;
    if (!near.edge.test(sure) && far.surelyConsumes && Within(far.edge, Bytes({sure}))) return Fixed::kNever;
    return Fixed::kUnknown;
  }

  // "\<" (wordStart) or "\>" where a neighbour settles one side: then it is "\b", or never holds.
  void WriteWordEdge(bool wordStart, const Place* place) {
    const Side before = Look(place, false);
    const Side after = Look(place, true);
    const ByteSet& word = WordBytes();
    // The side that must be a word byte, and the side that must not.
    const Side& wordSide = wordStart ? after : before;
    const Side& otherSide = wordStart ? before : after;
    if ((otherSide.surelyConsumes && Apart(otherSide.edge, word)) ||
        (wordSide.surelyConsumes && Within(wordSide.edge, word))) {
      out_ += "\\b";
      return;
    }
    if ((wordSide.surelyConsumes && Apart(wordSide.edge, word)) ||
        (otherSide.surelyConsumes && Within(otherSide.edge, word))) {
      WriteNever();
      return;
    }
    throw Untranslatable{wordStart ? "\"\\<\" not next to a word or non-word byte"
                                   : "\"\\>\" not next to a word or non-word byte"};
  }

  // "^" (start) or "$". Subjects of the span form hold no CR, where RE2's multi-line anchors are
  // ours. In the search form, an anchor at the pattern's start (end: atEdge) may consume the CR or
  // LF before (after) the match. That answers differently only between the CR and LF of a pair,
  // where what lies inside the match next to it would have to consume the other byte of the pair or
  // be a "\B" (the one assertion that holds there); and not at all when that matches the empty
  // string anywhere. Elsewhere the bytes around it may settle it.
  void WriteLineAnchor(bool start, bool atEdge, const Place* place) {
    if (spanForm_) {
      out_ += start ? "(?m:^)" : "(?m:$)";
      lineAnchors_ = true;
      return;
    }
    const Side before = Look(place, false);
    const Side after = Look(place, true);
    const Side& inside = start ? after : before;
    const Side& outside = start ? before : after;
    const unsigned char sure = start ? '\n' : '\r';
    const unsigned char unless = start ? '\r' : '\n';
    if (atEdge && !inside.lineAnchor && !inside.notWordBoundary &&
        (!inside.edge.test(sure) || inside.alwaysEmpty)) {
      out_ += start ? "(?:\\A|[\\x0A\\x0D])" : "(?:\\z|[\\x0A\\x0D])";
      return;
    }
    if (WriteFixed(LineAnchorBetween(outside, inside, sure, unless))) return;
    throw Untranslatable{start ? "\"^\" other than at the start of the pattern"
                               : "\"$\" other than at the end of the pattern"};
  }

  void WriteAssertion(PatternAssertion assertion, bool first, bool last, const Place* place) {
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
      case PatternAssertion::kWordStart:
        WriteWordEdge(true, place);
        return;
      case PatternAssertion::kWordEnd:
        WriteWordEdge(false, place);
        return;
      case PatternAssertion::kLineStart:
        WriteLineAnchor(true, first, place);
        return;
      case PatternAssertion::kLineEnd:
        WriteLineAnchor(false, last, place);
        return;
      case PatternAssertion::kSubjectEndBreaks: {
        if (last && !spanForm_) {
          out_ += "[\\x0A\\x0D]*\\z";
          return;
        }
        const Side after = Look(place, true);
        if (after.surelyConsumes && Apart(after.edge, kLineBreaks)) {
          WriteNever();
          return;
        }
        throw Untranslatable{"\"\\Z\" other than at the end of the pattern"};
      }
    }
  }

  const TreeFacts& facts_;
  const bool spanForm_;
  int noCapture_ = 0;  // inside a copy of a repeat's child that must not capture
  bool lineAnchors_ = false;
  std::string out_;
};

Re2Form WriteForm(const PatternSyntax& syntax, bool spanForm) {
  try {
    const TreeFacts facts(syntax.root);
    // A pattern that matches the empty string anywhere occurs in every subject.
    if (!spanForm && facts.Of(syntax.root).alwaysEmpty) return {"(?:)", ""};
    Writer writer(facts, spanForm);
    writer.Write(syntax.root, true, true, nullptr);
    const bool lineAnchors = writer.lineAnchors();
    return {writer.Take(), "", lineAnchors};
  } catch (const Untranslatable& e) {
    return {"", e.why};
  }
}

}  // namespace

re2::RE2::Options LinearEngineOptions() {
  re2::RE2::Options options;
  options.set_encoding(re2::RE2::Options::EncodingLatin1);
  options.set_case_sensitive(true);  // the form spells out both cases of every letter
  options.set_never_capture(true);
  options.set_log_errors(false);
  return options;
}

re2::RE2::Options SpanEngineOptions() {
  re2::RE2::Options options = LinearEngineOptions();
  options.set_never_capture(false);
  options.set_longest_match(true);
  return options;
}

Re2Form WriteRe2Form(const PatternSyntax& syntax) { return WriteForm(syntax, false); }

Re2Form WriteRe2SpanForm(const PatternSyntax& syntax) { return WriteForm(syntax, true); }

}  // namespace vell
