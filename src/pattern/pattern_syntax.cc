// Reads vell's pattern syntax into a syntax tree and rejects every construct that must not compile.
#include "pattern/pattern_syntax.h"

#include <cstddef>
#include <cstdio>
#include <utility>

namespace vell {

namespace {

// Deeper nesting than this is refused rather than risk the stack of the reader or of an engine.
constexpr int kMaxNesting = 200;
// Largest repeat bound accepted.
constexpr long long kMaxBound = 0x7fffffff;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

ByteSet ClassSet(bool (*member)(unsigned char)) {
  ByteSet set;
  for (int c = 0; c < 256; ++c) {
    if (member(static_cast<unsigned char>(c))) set.set(c);
  }
  return set;
}

bool IsSpaceByte(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigitByte(unsigned char c) { return c >= '0' && c <= '9'; }

ByteSet CloseOverCase(ByteSet set) {
  for (int c = 'a'; c <= 'z'; ++c) {
    const int upper = c - 'a' + 'A';
    if (set.test(c) || set.test(upper)) {
      set.set(c);
      set.set(upper);
    }
  }
  return set;
}

std::string Quote(std::string_view text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted += '"';
  quoted += text;
  quoted += '"';
  return quoted;
}

PatternNode MakeLiteral(unsigned char c) {
  PatternNode node;
  node.kind = PatternNode::Kind::kLiteral;
  node.byte = c;
  return node;
}

PatternNode MakeSet(const ByteSet& set) {
  PatternNode node;
  node.kind = PatternNode::Kind::kByteSet;
  node.bytes = set;
  return node;
}

PatternNode MakeAssertion(PatternAssertion assertion) {
  PatternNode node;
  node.kind = PatternNode::Kind::kAssertion;
  node.assertion = assertion;
  return node;
}

// A list of children becomes the empty node, the child itself, or a node of the given kind.
PatternNode Collapse(std::vector<PatternNode> items, PatternNode::Kind kind) {
  if (items.empty()) return PatternNode{};
  if (items.size() == 1) return std::move(items.front());
  PatternNode node;
  node.kind = kind;
  node.children = std::move(items);
  return node;
}

class Reader {
 public:
  explicit Reader(std::string_view pattern) : p_(pattern) {}

  PatternParse Read() {
    PatternParse result;
    if (p_.empty()) {
      result.error = "empty pattern";
      return result;
    }
    PatternSyntax syntax;
    if (!ReadAlternation(syntax.root)) {
      result.error = error_;
      return result;
    }
    if (pos_ < p_.size()) {  // only a ")" stops the top level early
      result.error = "unbalanced \")\" at offset " + std::to_string(pos_);
      return result;
    }
    syntax.groupCount = groups_;
    result.syntax = std::move(syntax);
    return result;
  }

 private:
  // One element of a bracket list: a single byte, or a class (which cannot end a range).
  struct BracketItem {
    bool isClass = false;
    unsigned char byte = 0;
    ByteSet set;
  };

  bool Fail(std::string message) {
    error_ = std::move(message);
    return false;
  }
  bool FailAt(std::string message, std::size_t offset) {
    return Fail(std::move(message) + " at offset " + std::to_string(offset));
  }
  bool AtEnd() const { return pos_ >= p_.size(); }

  bool ReadAlternation(PatternNode& out) {
    std::vector<PatternNode> alternatives;
    for (;;) {
      PatternNode branch;
      if (!ReadConcatenation(branch)) return false;
      alternatives.push_back(std::move(branch));
      if (AtEnd() || p_[pos_] != '|') break;
      ++pos_;
    }
    out = Collapse(std::move(alternatives), PatternNode::Kind::kAlternation);
    return true;
  }

  bool ReadConcatenation(PatternNode& out) {
    std::vector<PatternNode> items;
    bool lastIsRepeat = false;
    while (!AtEnd() && p_[pos_] != '|' && p_[pos_] != ')') {
      const std::size_t start = pos_;
      const char c = p_[pos_];
      if (c == '*' || c == '+' || c == '?' || c == '{') {
        int min = 0;
        int max = PatternNode::kUnbounded;
        if (c == '{') {
          if (!ReadBound(min, max)) return false;
        } else {
          ++pos_;
          if (c == '+') min = 1;
          if (c == '?') max = 1;
        }
        const std::string op(p_.substr(start, pos_ - start));
        if (items.empty()) return FailAt(Quote(op) + " has nothing to repeat", start);
        if (lastIsRepeat) return FailAt(Quote(op) + " follows another repeat", start);
        if (items.back().kind == PatternNode::Kind::kAssertion) {
          return FailAt(Quote(op) + " follows an assertion", start);
        }
        PatternNode repeat;
        repeat.kind = PatternNode::Kind::kRepeat;
        repeat.min = min;
        repeat.max = max;
        repeat.children.push_back(std::move(items.back()));
        items.back() = std::move(repeat);
        lastIsRepeat = true;
        continue;
      }
      lastIsRepeat = false;
      switch (c) {
        case '}':
          return FailAt("\"}\" outside a bound", start);
        case '(': {
          ++pos_;
          if (!AtEnd() && p_[pos_] == '?') return FailAt("\"(?\" is not supported", start);
          if (++depth_ > kMaxNesting) return FailAt("groups nested too deeply", start);
          PatternNode group;
          group.kind = PatternNode::Kind::kGroup;
          group.group = ++groups_;
          group.children.emplace_back();
          if (!ReadAlternation(group.children.front())) return false;
          if (AtEnd()) return Fail("unbalanced \"(\" at offset " + std::to_string(start));
          ++pos_;  // the ")"
          --depth_;
          items.push_back(std::move(group));
          break;
        }
        case '[': {
          ByteSet set;
          if (!ReadBracket(set)) return false;
          items.push_back(MakeSet(set));
          break;
        }
        case '.':
          ++pos_;
          items.push_back(MakeSet(ByteSet().set()));
          break;
        case '^':
          ++pos_;
          items.push_back(MakeAssertion(PatternAssertion::kLineStart));
          break;
        case '$':
          ++pos_;
          items.push_back(MakeAssertion(PatternAssertion::kLineEnd));
          break;
        case '\\':
          if (!ReadEscape(items)) return false;
          break;
        default:
          ++pos_;
          items.push_back(MakeLiteral(static_cast<unsigned char>(c)));
          break;
      }
    }
    out = Collapse(std::move(items), PatternNode::Kind::kConcatenation);
    return true;
  }

  // At "{": reads "{m}", "{m,}" or "{m,n}" with n >= m.
  bool ReadBound(int& min, int& max) {
    const std::size_t start = pos_;
    const auto bad = [&] { return FailAt("\"{\" does not begin a valid bound", start); };
    ++pos_;
    long long low = 0;
    if (!ReadNumber(low)) return bad();
    long long high = low;
    if (!AtEnd() && p_[pos_] == ',') {
      ++pos_;
      high = PatternNode::kUnbounded;
      if (!AtEnd() && IsDigitByte(static_cast<unsigned char>(p_[pos_])) && !ReadNumber(high)) {
        return bad();
      }
    }
    if (AtEnd() || p_[pos_] != '}') return bad();
    ++pos_;
    if (high != PatternNode::kUnbounded && high < low) {
      return FailAt("bound " + std::string(p_.substr(start, pos_ - start)) +
                        " has its maximum below its minimum",
                    start);
    }
    min = static_cast<int>(low);
    max = static_cast<int>(high);
    return true;
  }

  // Decimal digits, at least one, at most kMaxBound.
  bool ReadNumber(long long& value) {
    const std::size_t start = pos_;
    value = 0;
    while (!AtEnd() && IsDigitByte(static_cast<unsigned char>(p_[pos_]))) {
      value = value * 10 + (p_[pos_] - '0');
      if (value > kMaxBound) return false;
      ++pos_;
    }
    return pos_ > start;
  }

  // At "[": reads a bracket list up to its closing "]".
  bool ReadBracket(ByteSet& out) {
    const std::size_t start = pos_;
    ++pos_;
    bool negate = false;
    if (!AtEnd() && p_[pos_] == '^') {
      negate = true;
      ++pos_;
    }
    ByteSet set;
    bool first = true;
    for (;;) {
      if (AtEnd()) return Fail("unterminated \"[\" at offset " + std::to_string(start));
      if (p_[pos_] == ']' && !first) {
        ++pos_;
        break;
      }
      first = false;
      const std::size_t itemStart = pos_;
      BracketItem low;
      if (!ReadBracketItem(low, start)) return false;
      if (low.isClass) {
        set |= low.set;
        continue;
      }
      if (pos_ + 1 < p_.size() && p_[pos_] == '-' && p_[pos_ + 1] != ']') {
        ++pos_;
        BracketItem high;
        if (!ReadBracketItem(high, start)) return false;
        const std::string range(p_.substr(itemStart, pos_ - itemStart));
        if (high.isClass) return FailAt("class ends range " + Quote(range), itemStart);
        if (high.byte < low.byte) return FailAt("invalid range " + Quote(range), itemStart);
        for (int c = low.byte; c <= high.byte; ++c) set.set(c);
      } else {
        set.set(low.byte);
      }
    }
    set = CloseOverCase(set);
    out = negate ? ~set : set;
    return true;
  }

  bool ReadBracketItem(BracketItem& item, std::size_t bracketStart) {
    if (p_[pos_] != '\\') {
      item.byte = static_cast<unsigned char>(p_[pos_++]);
      return true;
    }
    const std::size_t start = pos_;
    ++pos_;
    if (AtEnd()) return Fail("unterminated \"[\" at offset " + std::to_string(bracketStart));
    const char c = p_[pos_];
    switch (c) {
      case 's':
      case 'd':
      case 'w':
      case 'l':
      case 'u':
        ++pos_;
        item.isClass = true;
        item.set = EscapeClass(c);
        return true;
      case 'S':
      case 'D':
      case 'W':
      case 'L':
      case 'U':
        return FailAt(Quote(std::string("\\") + c) + " is not allowed inside \"[...]\"", start);
      default:
        return ReadByteEscape(item.byte, start);
    }
  }

  static ByteSet EscapeClass(char c) {
    switch (c) {
      case 's':
        return ClassSet(IsSpaceByte);
      case 'S':
        return ~ClassSet(IsSpaceByte);
      case 'd':
        return ClassSet(IsDigitByte);
      case 'D':
        return ~ClassSet(IsDigitByte);
      case 'w':
        return ClassSet(IsWordByte);
      case 'W':
        return ~ClassSet(IsWordByte);
      case 'l':
      case 'u':
        return ClassSet(IsLetterByte);
      default:
        return ~ClassSet(IsLetterByte);  // L, U
    }
  }

  // After "\" (pos_ at the escaped character; start at the "\"): an escape that stands for one
  // byte: control escapes, \x, \c, and any other character as itself.
  bool ReadByteEscape(unsigned char& byte, std::size_t start) {
    const char c = p_[pos_++];
    switch (c) {
      case 'a':
        byte = 7;
        return true;
      case 'f':
        byte = 12;
        return true;
      case 'n':
        byte = 10;
        return true;
      case 'r':
        byte = 13;
        return true;
      case 't':
        byte = 9;
        return true;
      case 'v':
        byte = 11;
        return true;
      case 'e':
        byte = 27;
        return true;
      case 'x':
        return ReadHexEscape(byte, start);
      case 'c': {
        if (AtEnd()) return FailAt("invalid \"\\c\" escape", start);
        const auto x = static_cast<unsigned char>(p_[pos_]);
        if (x < 64 || x > 127) return FailAt("invalid \"\\c\" escape", start);
        ++pos_;
        byte = static_cast<unsigned char>(x - 64);
        return true;
      }
      default:
        byte = static_cast<unsigned char>(c);
        return true;
    }
  }

  // After "\x": one or two hex digits, or hex digits in braces with a value up to FF.
  bool ReadHexEscape(unsigned char& byte, std::size_t start) {
    const auto bad = [&] { return FailAt("invalid \"\\x\" escape", start); };
    if (AtEnd()) return bad();
    int value = 0;
    if (p_[pos_] == '{') {
      ++pos_;
      std::size_t digits = 0;
      while (!AtEnd() && p_[pos_] != '}') {
        const int d = HexValue(p_[pos_]);
        if (d < 0) return bad();
        value = value * 16 + d;
        if (value > 0xff) return bad();
        ++digits;
        ++pos_;
      }
      if (AtEnd() || digits == 0) return bad();
      ++pos_;
    } else {
      if (HexValue(p_[pos_]) < 0) return bad();
      for (int i = 0; i < 2 && !AtEnd() && HexValue(p_[pos_]) >= 0; ++i) {
        value = value * 16 + HexValue(p_[pos_++]);
      }
    }
    byte = static_cast<unsigned char>(value);
    return true;
  }

  // At "\" outside a bracket list: appends what the escape stands for.
  bool ReadEscape(std::vector<PatternNode>& items) {
    const std::size_t start = pos_;
    ++pos_;
    if (AtEnd()) return FailAt("trailing \"\\\"", start);
    const char c = p_[pos_];
    switch (c) {
      case 's':
      case 'S':
      case 'd':
      case 'D':
      case 'w':
      case 'W':
      case 'l':
      case 'u':
      case 'L':
      case 'U':
        ++pos_;
        items.push_back(MakeSet(EscapeClass(c)));
        return true;
      case 'C':
        ++pos_;
        items.push_back(MakeSet(ByteSet().set()));
        return true;
      case 'b':
        return PushAssertion(items, PatternAssertion::kWordBoundary);
      case 'B':
        return PushAssertion(items, PatternAssertion::kNotWordBoundary);
      case '<':
        return PushAssertion(items, PatternAssertion::kWordStart);
      case '>':
        return PushAssertion(items, PatternAssertion::kWordEnd);
      case 'A':
      case '`':
      case 'G':
        return PushAssertion(items, PatternAssertion::kSubjectStart);
      case 'z':
      case '\'':
        return PushAssertion(items, PatternAssertion::kSubjectEnd);
      case 'Z':
        return PushAssertion(items, PatternAssertion::kSubjectEndBreaks);
      case 'Q': {
        const std::size_t end = p_.find("\\E", pos_ + 1);
        if (end == std::string_view::npos) return FailAt("\"\\Q\" without \"\\E\"", start);
        for (std::size_t i = pos_ + 1; i < end; ++i) {
          items.push_back(MakeLiteral(static_cast<unsigned char>(p_[i])));
        }
        pos_ = end + 2;
        return true;
      }
      default: {
        unsigned char byte = 0;
        if (!ReadByteEscape(byte, start)) return false;
        items.push_back(MakeLiteral(byte));
        return true;
      }
    }
  }

  bool PushAssertion(std::vector<PatternNode>& items, PatternAssertion assertion) {
    ++pos_;
    items.push_back(MakeAssertion(assertion));
    return true;
  }

  std::string_view p_;
  std::size_t pos_ = 0;
  int groups_ = 0;
  int depth_ = 0;
  std::string error_;
};

}  // namespace

bool IsLetterByte(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsWordByte(unsigned char c) { return IsLetterByte(c) || IsDigitByte(c) || c == '_'; }
unsigned char ToLowerAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}
unsigned char ToUpperAscii(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

PatternParse ParsePattern(std::string_view pattern) { return Reader(pattern).Read(); }

namespace {

// everywhere: the node matches the empty string at every position (assertions do not); otherwise
// at some position (assertions do, where they hold).
bool MatchesEmpty(const PatternNode& node, bool everywhere) {
  using Kind = PatternNode::Kind;
  switch (node.kind) {
    case Kind::kEmpty:
      return true;
    case Kind::kAssertion:
      return !everywhere;
    case Kind::kLiteral:
    case Kind::kByteSet:
      return false;
    case Kind::kAlternation:
      for (const PatternNode& child : node.children) {
        if (MatchesEmpty(child, everywhere)) return true;
      }
      return false;
    case Kind::kConcatenation:
      for (const PatternNode& child : node.children) {
        if (!MatchesEmpty(child, everywhere)) return false;
      }
      return true;
    case Kind::kGroup:
      return MatchesEmpty(node.children.front(), everywhere);
    case Kind::kRepeat:
      return node.min == 0 || MatchesEmpty(node.children.front(), everywhere);
  }
  return false;
}

}  // namespace

bool MayMatchEmpty(const PatternNode& node) { return MatchesEmpty(node, false); }
bool AlwaysMatchesEmpty(const PatternNode& node) { return MatchesEmpty(node, true); }

void AppendHexEscape(std::string& out, unsigned char c) {
  char text[8];
  std::snprintf(text, sizeof text, "\\x%02X", static_cast<unsigned>(c));
  out += text;
}

void AppendByteSetBracket(std::string& out, const ByteSet& set) {
  out += '[';
  for (int c = 0; c < 256;) {
    if (!set.test(c)) {
      ++c;
      continue;
    }
    int last = c;
    while (last + 1 < 256 && set.test(last + 1)) ++last;
    AppendHexEscape(out, static_cast<unsigned char>(c));
    if (last > c) {
      if (last > c + 1) out += '-';
      AppendHexEscape(out, static_cast<unsigned char>(last));
    }
    c = last + 1;
  }
  out += ']';
}

}  // namespace vell
