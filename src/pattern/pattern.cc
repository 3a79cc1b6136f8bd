// Pattern matching on Boost.Regex: the syntax tree is written out as a Perl-syntax expression in
// which every atom is explicit, so the engine's locale, case tables and options play no part.
#include "pattern/pattern.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <mutex>
#include <utility>
#include <vector>

#include <boost/regex.hpp>
#include <re2/re2.h>

#include "pattern/literal_filter.h"
#include "pattern/pattern_re2.h"
#include "pattern/pattern_syntax.h"

namespace vell {

namespace {

// The C++ locale traits on every platform: the form needs nothing from a locale, and these traits
// behave the same on Linux and Windows.
using BoostRegex = boost::basic_regex<char, boost::cpp_regex_traits<char>>;
using BoostMatch = boost::match_results<const char*>;

const std::string& WordBracket() {
  static const std::string bracket = [] {
    ByteSet set;
    for (int c = 0; c < 256; ++c) {
      if (IsWordByte(static_cast<unsigned char>(c))) set.set(c);
    }
    std::string out;
    AppendByteSetBracket(out, set);
    return out;
  }();
  return bracket;
}

void AppendAssertion(std::string& out, PatternAssertion assertion) {
  const std::string& w = WordBracket();
  switch (assertion) {
    case PatternAssertion::kLineStart:
      out += "(?:\\A|(?<=\\x0A)|(?<=\\x0D)(?!\\x0A))";
      break;
    case PatternAssertion::kLineEnd:
      out += "(?:\\z|(?=\\x0D)|(?<!\\x0D)(?=\\x0A))";
      break;
    case PatternAssertion::kSubjectStart:
      out += "\\A";
      break;
    case PatternAssertion::kSubjectEnd:
      out += "\\z";
      break;
    case PatternAssertion::kSubjectEndBreaks:
      out += "(?=[\\x0A\\x0D]*\\z)";
      break;
    case PatternAssertion::kWordBoundary:
      out += "(?:(?<=" + w + ")(?!" + w + ")|(?<!" + w + ")(?=" + w + "))";
      break;
    case PatternAssertion::kNotWordBoundary:
      out += "(?:(?<=" + w + ")(?=" + w + ")|(?<!" + w + ")(?!" + w + "))";
      break;
    case PatternAssertion::kWordStart:
      out += "(?<!" + w + ")(?=" + w + ")";
      break;
    case PatternAssertion::kWordEnd:
      out += "(?<=" + w + ")(?!" + w + ")";
      break;
  }
}

// Passes of a repeat written out one by one, at most.
constexpr int kMostWrittenPasses = 1000;

// capture: groups are written as capturing groups (only one copy of each may be).
void AppendBoostForm(std::string& out, const PatternNode& node, bool capture = true) {
  using Kind = PatternNode::Kind;
  switch (node.kind) {
    case Kind::kEmpty:
      out += "(?:)";
      break;
    case Kind::kAlternation:
      out += "(?:";
      for (std::size_t i = 0; i < node.children.size(); ++i) {
        if (i > 0) out += '|';
        AppendBoostForm(out, node.children[i], capture);
      }
      out += ')';
      break;
    case Kind::kConcatenation:
      for (const PatternNode& child : node.children) AppendBoostForm(out, child, capture);
      break;
    case Kind::kGroup:
      out += capture ? "(" : "(?:";
      AppendBoostForm(out, node.children.front(), capture);
      out += ')';
      break;
    case Kind::kRepeat: {
      const PatternNode& child = node.children.front();
      int min = node.min;
      int max = node.max;
      // The engine ends a repeat after a pass that consumed nothing, so a required pass that
      // matches empty (an anchor) could not be followed by one that consumes, as in "(^|a){2}b"
      // on "ab". The required passes but the last are written out, without captures; the last
      // pass captures, as the last pass of a repeat does.
      if (min >= 2 && min <= kMostWrittenPasses && MayMatchEmpty(child)) {
        for (int i = 1; i < min; ++i) {
          out += "(?:";
          AppendBoostForm(out, child, false);
          out += ')';
        }
        max = max == PatternNode::kUnbounded ? max : max - (min - 1);
        min = 1;
      }
      // Groups, literals and sets are single atoms in the form; anything else gets wrapped.
      const bool atom = child.kind == Kind::kGroup || child.kind == Kind::kLiteral ||
                        (child.kind == Kind::kByteSet && child.bytes.any());
      if (!atom) out += "(?:";
      AppendBoostForm(out, child, capture);
      if (!atom) out += ')';
      out += '{' + std::to_string(min) + ',';
      if (max != PatternNode::kUnbounded) out += std::to_string(max);
      out += '}';
      break;
    }
    case Kind::kLiteral:
      if (IsLetterByte(node.byte)) {
        out += '[';
        out += static_cast<char>(ToLowerAscii(node.byte));
        out += static_cast<char>(ToUpperAscii(node.byte));
        out += ']';
      } else {
        AppendHexEscape(out, node.byte);
      }
      break;
    case Kind::kByteSet:
      if (node.bytes.none()) {
        out += "(?!)";
      } else if (node.bytes.count() == 1) {
        for (int c = 0; c < 256; ++c) {
          if (node.bytes.test(c)) AppendHexEscape(out, static_cast<unsigned char>(c));
        }
      } else {
        AppendByteSetBracket(out, node.bytes);
      }
      break;
    case Kind::kAssertion:
      AppendAssertion(out, node.assertion);
      break;
  }
}

// A match's text and its groups' texts, as the format expansion reads them: entry g is group g
// (0 for the whole match), {nullptr, nullptr} for a group that took no part.
using Captures = std::vector<std::pair<const char*, const char*>>;

// Case conversion state of a format expansion.
enum class CaseMode { kNone, kLower, kUpper };

class FormatWriter {
 public:
  explicit FormatWriter(std::string& out) : out_(out) {}

  // A character that case conversion applies to.
  void PutConverted(char c) {
    auto byte = static_cast<unsigned char>(c);
    CaseMode mode = next_ != CaseMode::kNone ? next_ : mode_;
    next_ = CaseMode::kNone;
    if (mode == CaseMode::kLower) byte = ToLowerAscii(byte);
    if (mode == CaseMode::kUpper) byte = ToUpperAscii(byte);
    out_ += static_cast<char>(byte);
  }
  void PutConverted(const char* begin, const char* end) {
    for (const char* p = begin; p != end; ++p) PutConverted(*p);
  }
  // A character produced by a "\" escape: output as it is.
  void PutRaw(char c) { out_ += c; }

  void SetNext(CaseMode mode) { next_ = mode; }
  void SetMode(CaseMode mode) {
    mode_ = mode;
    next_ = CaseMode::kNone;
  }

 private:
  std::string& out_;
  CaseMode mode_ = CaseMode::kNone;
  CaseMode next_ = CaseMode::kNone;
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Appends the expansion of format for the match m of subject [begin, end) to out.
void ExpandFormat(std::string& out, const std::string& formatText, const char* begin,
                  const char* end, const Captures& m) {
  // The format is read up to its first NUL.
  const std::string_view format(formatText.c_str());
  FormatWriter writer(out);
  std::size_t i = 0;
  const std::size_t n = format.size();
  while (i < n) {
    const char c = format[i++];
    if (c == '$') {
      if (i >= n) {
        writer.PutConverted('$');
        break;
      }
      const char k = format[i];
      if (k == '&') {
        ++i;
        writer.PutConverted(m[0].first, m[0].second);
      } else if (k == '`' || k == 'A') {
        ++i;
        writer.PutConverted(begin, m[0].first);
      } else if (k == '\'' || k == 'z') {
        ++i;
        writer.PutConverted(m[0].second, end);
      } else if (IsDigit(k)) {
        // All consecutive digits form the number; a number past the groups inserts nothing.
        std::size_t group = 0;
        bool tooLarge = false;
        while (i < n && IsDigit(format[i])) {
          if (group > m.size()) tooLarge = true;
          if (!tooLarge) group = group * 10 + static_cast<std::size_t>(format[i] - '0');
          ++i;
        }
        if (!tooLarge && group < m.size() && m[group].first != nullptr) {
          writer.PutConverted(m[group].first, m[group].second);
        }
      } else {
        writer.PutConverted('$');
      }
      continue;
    }
    if (c != '\\') {
      writer.PutConverted(c);
      continue;
    }
    if (i >= n) {
      writer.PutRaw('\\');
      break;
    }
    const char e = format[i++];
    switch (e) {
      case 'a':
        writer.PutRaw('\a');
        break;
      case 'f':
        writer.PutRaw('\f');
        break;
      case 'n':
        writer.PutRaw('\n');
        break;
      case 'r':
        writer.PutRaw('\r');
        break;
      case 't':
        writer.PutRaw('\t');
        break;
      case 'v':
        writer.PutRaw('\v');
        break;
      case 'e':
        writer.PutRaw('\x1b');
        break;
      case 'l':
        writer.SetNext(CaseMode::kLower);
        break;
      case 'u':
        writer.SetNext(CaseMode::kUpper);
        break;
      case 'L':
        writer.SetMode(CaseMode::kLower);
        break;
      case 'U':
        writer.SetMode(CaseMode::kUpper);
        break;
      case 'E':
        writer.SetMode(CaseMode::kNone);
        break;
      case 'x': {
        int value = -1;
        std::size_t next = i;
        if (next < n && format[next] == '{') {
          std::size_t j = next + 1;
          int v = 0;
          while (j < n && HexDigit(format[j]) >= 0 && v <= 0xff) v = v * 16 + HexDigit(format[j++]);
          if (j < n && format[j] == '}' && j > next + 1 && v <= 0xff) {
            value = v;
            next = j + 1;
          }
        } else {
          int v = 0;
          std::size_t j = next;
          while (j < n && j < next + 2 && HexDigit(format[j]) >= 0)
            v = v * 16 + HexDigit(format[j++]);
          if (j > next) {
            value = v;
            next = j;
          }
        }
        if (value < 0) {
          writer.PutRaw('x');
        } else {
          writer.PutRaw(static_cast<char>(value));
          i = next;
        }
        break;
      }
      case 'c':
        if (i < n && static_cast<unsigned char>(format[i]) >= 64 &&
            static_cast<unsigned char>(format[i]) <= 127) {
          writer.PutRaw(static_cast<char>(format[i++] - 64));
        } else {
          writer.PutRaw('c');
        }
        break;
      default:
        if (e >= '0' && e <= '7') {
          int value = e - '0';
          for (int digits = 1; digits < 3 && i < n && format[i] >= '0' && format[i] <= '7';
               ++digits) {
            value = value * 8 + (format[i++] - '0');
          }
          writer.PutRaw(static_cast<char>(value & 0xff));
        } else {
          writer.PutRaw(e);
        }
        break;
    }
  }
}

// Does the format name a group by number ("$1", "$01")? Only then are the groups worked out.
bool NamesAGroup(const std::string& format) {
  for (std::size_t i = 0; i + 1 < format.size() && format[i] != '\0'; ++i) {
    if (format[i] == '$' && IsDigit(format[i + 1])) return true;
  }
  return false;
}

Captures CapturesOf(const BoostMatch& m) {
  Captures captures;
  for (std::size_t g = 0; g < m.size(); ++g) {
    captures.emplace_back(m[g].matched ? m[g].first : nullptr, m[g].matched ? m[g].second : nullptr);
  }
  return captures;
}

}  // namespace

struct CompiledPattern::Impl {
  std::string source;
  std::string error;
  std::optional<BoostRegex> re;
  std::unique_ptr<const re2::RE2> linear;
  std::string linearForm;
  std::string whyNotLinear;
  std::optional<LiteralFilter> filter;  // texts one of which every match contains
  int groupCount = 0;
  // The span form, compiled when first asked for: most patterns are only searched.
  std::string spanForm;
  std::string whyNoSpanForm;
  bool spanFormNeedsNoCr = false;
  mutable std::once_flag spanOnce;
  mutable std::unique_ptr<const re2::RE2> span;

  const re2::RE2* Span() const {
    std::call_once(spanOnce, [this] {
      if (spanForm.empty()) return;
      auto compiled = std::make_unique<const re2::RE2>(spanForm, SpanEngineOptions());
      if (compiled->ok()) span = std::move(compiled);
    });
    return span.get();
  }

  // The leftmost-longest match with POSIX sub-expression choice; throws when matching fails.
  bool Find(const char* begin, const char* end, BoostMatch& m) const {
    return boost::regex_search(begin, end, m, *re, boost::match_posix);
  }

  // The leftmost-longest match of subject by the span form, with the linear-time engine's groups.
  // Nothing when there is no span form for subject; an empty list when nothing matches.
  std::optional<Captures> FindBySpan(std::string_view subject) const {
    if (spanFormNeedsNoCr && subject.find('\r') != std::string_view::npos) return std::nullopt;
    const re2::RE2* engine = Span();
    if (engine == nullptr) return std::nullopt;
    std::vector<re2::StringPiece> groups(static_cast<std::size_t>(groupCount) + 1);
    const re2::StringPiece text(subject.data(), subject.size());
    if (!engine->Match(text, 0, text.size(), re2::RE2::UNANCHORED, groups.data(),
                       static_cast<int>(groups.size()))) {
      return Captures{};
    }
    Captures captures;
    for (const re2::StringPiece& g : groups) {
      captures.emplace_back(g.data(), g.data() == nullptr ? nullptr : g.data() + g.size());
    }
    return captures;
  }
};

CompiledPattern::CompiledPattern(const std::string& pattern) : impl_(std::make_unique<Impl>()) {
  impl_->source = pattern;
  PatternParse parse = ParsePattern(pattern);
  if (!parse.syntax) {
    impl_->error = std::move(parse.error);
    return;
  }
  impl_->groupCount = parse.syntax->groupCount;
  impl_->filter = LiteralFilter::For(parse.syntax->root);
  std::string form;
  AppendBoostForm(form, parse.syntax->root);
  try {
    impl_->re.emplace(form, boost::regex::perl);
  } catch (const std::exception& e) {
    impl_->error = std::string("engine refused the pattern: ") + e.what();
    return;
  }
  Re2Form spanForm = WriteRe2SpanForm(*parse.syntax);
  impl_->spanForm = std::move(spanForm.pattern);
  impl_->whyNoSpanForm = std::move(spanForm.whyNot);
  impl_->spanFormNeedsNoCr = spanForm.lineAnchors;
  Re2Form linear = WriteRe2Form(*parse.syntax);
  if (linear.pattern.empty()) {
    impl_->whyNotLinear = std::move(linear.whyNot);
    return;
  }
  auto re2 = std::make_unique<const re2::RE2>(linear.pattern, LinearEngineOptions());
  if (!re2->ok()) {
    impl_->whyNotLinear = "the linear-time engine refused it: " + re2->error();
    return;
  }
  impl_->linear = std::move(re2);
  impl_->linearForm = std::move(linear.pattern);
}

CompiledPattern::~CompiledPattern() = default;

const std::string& CompiledPattern::source() const { return impl_->source; }
bool CompiledPattern::valid() const { return impl_->re.has_value(); }
const std::string& CompiledPattern::error() const { return impl_->error; }

MatchResult CompiledPattern::Match(std::string_view subject) const {
  if (impl_->filter && !impl_->filter->MayMatch(subject)) return MatchResult::kNoMatch;
  std::optional<bool> found = impl_->linear ? SearchLinear(subject) : SearchBacktracking(subject);
  if (!found) return impl_->re ? MatchResult::kGaveUp : MatchResult::kNoMatch;
  return *found ? MatchResult::kMatch : MatchResult::kNoMatch;
}

const LiteralFilter* CompiledPattern::literalFilter() const {
  return impl_->filter ? &*impl_->filter : nullptr;
}
bool CompiledPattern::linear() const { return impl_->linear != nullptr; }
const std::string& CompiledPattern::linearForm() const { return impl_->linearForm; }
const std::string& CompiledPattern::whyNotLinear() const { return impl_->whyNotLinear; }
bool CompiledPattern::hasSpanForm() const { return impl_->Span() != nullptr; }
const std::string& CompiledPattern::whyNoSpanForm() const { return impl_->whyNoSpanForm; }

std::optional<bool> CompiledPattern::SearchBacktracking(std::string_view subject) const {
  if (!impl_->re) return std::nullopt;
  try {
    const char* begin = subject.data() != nullptr ? subject.data() : "";
    return boost::regex_search(begin, begin + subject.size(), *impl_->re);
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<bool> CompiledPattern::SearchLinear(std::string_view subject) const {
  if (!impl_->linear) return std::nullopt;
  return re2::RE2::PartialMatch(re2::StringPiece(subject.data(), subject.size()), *impl_->linear);
}

std::optional<CompiledPattern::Span> CompiledPattern::FindFirst(std::string_view subject) const {
  if (!impl_->re) return std::nullopt;
  const char* begin = subject.data() != nullptr ? subject.data() : "";
  if (const std::optional<Captures> found = impl_->FindBySpan({begin, subject.size()})) {
    if (found->empty()) return std::nullopt;
    return Span{static_cast<std::size_t>((*found)[0].first - begin),
                static_cast<std::size_t>((*found)[0].second - begin)};
  }
  try {
    BoostMatch m;
    if (!impl_->Find(begin, begin + subject.size(), m)) return std::nullopt;
    return Span{static_cast<std::size_t>(m[0].first - begin),
                static_cast<std::size_t>(m[0].second - begin)};
  } catch (...) {
    return std::nullopt;
  }
}

std::string CompiledPattern::ReplaceFirst(const std::string& subject,
                                          const std::string& format) const {
  if (!impl_->re) return subject;
  const char* begin = subject.data();
  const char* end = begin + subject.size();
  Captures captures;
  if (std::optional<Captures> found = impl_->FindBySpan(subject)) {
    if (found->empty()) return subject;
    captures = std::move(*found);
    // The span is settled; the POSIX choice of groups within it is asked of the backtracking
    // engine, from the span's start only, and kept when it finishes on the same span.
    if (impl_->groupCount > 0 && NamesAGroup(format)) {
      try {
        BoostMatch m;
        const std::size_t at = static_cast<std::size_t>(captures[0].first - begin);
        auto flags = boost::match_posix | boost::match_continuous;
        if (at > 0) flags |= boost::match_prev_avail;
        if (boost::regex_search(captures[0].first, end, m, *impl_->re, flags, begin) &&
            m[0].first == captures[0].first && m[0].second == captures[0].second) {
          captures = CapturesOf(m);
        }
      } catch (const std::bad_alloc&) {
        throw;
      } catch (...) {
        // Gave up: the linear-time engine's groups stand.
      }
    }
  } else {
    BoostMatch m;
    if (!impl_->Find(begin, end, m)) return subject;
    captures = CapturesOf(m);
  }
  std::string result(begin, captures[0].first);
  ExpandFormat(result, format, begin, end, captures);
  result.append(captures[0].second, end);
  return result;
}

bool PatternSearch(const std::string& subject, const std::string& pattern) {
  try {
    return CompiledPattern(pattern).Search(subject);
  } catch (...) {
    return false;  // out of memory while compiling
  }
}

bool PatternSearchBacktracking(std::string_view subject, const std::string& pattern) {
  try {
    const PatternParse parse = ParsePattern(pattern);
    if (!parse.syntax) return false;
    std::string form;
    AppendBoostForm(form, parse.syntax->root);
    const BoostRegex re(form, boost::regex::perl);
    const char* begin = subject.data() != nullptr ? subject.data() : "";
    return boost::regex_search(begin, begin + subject.size(), re);
  } catch (...) {
    return false;
  }
}

std::string PatternReplaceFirst(const std::string& subject, const std::string& pattern,
                                const std::string& format) {
  return CompiledPattern(pattern).ReplaceFirst(subject, format);
}

}  // namespace vell
