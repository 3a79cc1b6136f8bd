// Required texts of a pattern, worked out over its syntax tree.
//
// Each node gets a Fact. An exact fact lists every text the node can match (after ASCII case
// folding): "ab|c" matches "ab" or "c". When that list would grow too long, or a repeat makes it
// open-ended, the fact becomes a requirement: every match contains one of the listed texts. A
// sequence multiplies exact lists while they stay short and otherwise keeps its most selective
// requirement, since a match of the sequence contains a match of each of its parts.
#include "pattern/literal_filter.h"

#include <algorithm>
#include <cstdint>
#include <set>

namespace vell {

namespace {

// Longest exact list kept; longest requirement list kept; longest exact text built.
constexpr std::size_t kMaxExact = 16;
constexpr std::size_t kMaxRequired = 32;
constexpr std::size_t kLongestExact = 64;
// Subjects longer than this are left to the engine, which is linear in them anyway; the check of
// a shorter one compares at most kMaxRequired texts of kLongestText bytes at each byte.
constexpr std::size_t kLongestFiltered = 512;

unsigned char Folded(unsigned char c) { return static_cast<unsigned>(c - 'A') < 26u ? c | 0x20 : c; }

struct Fact {
  bool exact = false;
  bool known = false;  // for a requirement: false when nothing is required
  std::set<std::string> texts;
};

Fact Exact(std::set<std::string> texts) { return {true, true, std::move(texts)}; }
Fact Nothing() { return {}; }

// The fact as a requirement. An exact list that holds the empty text requires nothing.
Fact Required(const Fact& fact) {
  if (!fact.known || fact.texts.count("") != 0 || fact.texts.size() > kMaxRequired) return Nothing();
  return {false, true, fact.texts};
}

// How selective a requirement is: its shortest text's length, then fewer texts; nothing is worst.
bool MoreSelective(const Fact& a, const Fact& b) {
  if (!a.known) return false;
  if (!b.known) return true;
  auto shortest = [](const Fact& f) {
    std::size_t n = SIZE_MAX;
    for (const std::string& t : f.texts) n = std::min(n, t.size());
    return n;
  };
  const std::size_t sa = shortest(a), sb = shortest(b);
  return sa != sb ? sa > sb : a.texts.size() < b.texts.size();
}

Fact Analyze(const PatternNode& node);

Fact AnalyzeSequence(const std::vector<PatternNode>& children) {
  std::set<std::string> run = {""};  // exact texts of the current run of exact parts
  bool allExact = true;
  Fact best = Nothing();
  auto keep = [&best](Fact candidate) {
    if (MoreSelective(candidate, best)) best = std::move(candidate);
  };
  for (const PatternNode& child : children) {
    Fact fact = Analyze(child);
    if (fact.exact && run.size() * fact.texts.size() <= kMaxExact) {
      std::set<std::string> product;
      std::size_t shortest = SIZE_MAX, longest = 0;
      for (const std::string& head : run) {
        for (const std::string& tail : fact.texts) {
          const std::string& text = *product.insert(head + tail).first;
          shortest = std::min(shortest, text.size());
          longest = std::max(longest, text.size());
        }
      }
      run = std::move(product);
      // Texts long enough for the filter are kept as they are and a new run starts, so that a
      // long run of literals costs time in proportion to its length.
      if (shortest >= LiteralFilter::kLongestText || longest >= kLongestExact) {
        allExact = false;
        keep(Required(Exact(std::move(run))));
        run = {""};
      }
      continue;
    }
    allExact = false;
    keep(Required(Exact(run)));
    if (fact.exact) {
      run = std::move(fact.texts);
    } else {
      keep(std::move(fact));
      run = {""};
    }
  }
  if (allExact) return Exact(std::move(run));
  keep(Required(Exact(run)));
  return best;
}

Fact AnalyzeAlternatives(const std::vector<PatternNode>& children) {
  std::set<std::string> exact;
  bool allExact = true;
  std::set<std::string> required;
  bool allRequire = true;  // every branch requires some text (an exact "" branch does not)
  for (const PatternNode& child : children) {
    Fact fact = Analyze(child);
    allExact = allExact && fact.exact;
    if (fact.exact) exact.insert(fact.texts.begin(), fact.texts.end());
    const Fact need = Required(fact);
    allRequire = allRequire && need.known;
    if (need.known) required.insert(need.texts.begin(), need.texts.end());
    // Past these sizes neither an exact list nor a requirement can come out of the branches.
    if (!allExact && (!allRequire || required.size() > kMaxRequired)) return Nothing();
    if (exact.size() > kMaxRequired) return Nothing();
  }
  if (allExact) return exact.size() <= kMaxExact ? Exact(std::move(exact)) : Required(Exact(std::move(exact)));
  return Required(Fact{false, true, std::move(required)});
}

Fact Analyze(const PatternNode& node) {
  switch (node.kind) {
    case PatternNode::Kind::kEmpty:
    case PatternNode::Kind::kAssertion:
      return Exact({""});
    case PatternNode::Kind::kLiteral:
      return Exact({std::string(1, static_cast<char>(ToLowerAscii(node.byte)))});
    case PatternNode::Kind::kByteSet: {
      std::set<std::string> texts;
      for (int c = 0; c < 256 && texts.size() <= kMaxExact; ++c) {
        if (node.bytes.test(static_cast<std::size_t>(c))) {
          texts.insert(std::string(1, static_cast<char>(ToLowerAscii(static_cast<unsigned char>(c)))));
        }
      }
      if (texts.empty() || texts.size() > kMaxExact) return Nothing();
      return Exact(std::move(texts));
    }
    case PatternNode::Kind::kGroup:
      return Analyze(node.children.front());
    case PatternNode::Kind::kRepeat: {
      if (node.min == 0) return Nothing();
      Fact once = Analyze(node.children.front());
      if (node.min == 1 && node.max == 1) return once;
      return Required(once);
    }
    case PatternNode::Kind::kConcatenation:
      return AnalyzeSequence(node.children);
    case PatternNode::Kind::kAlternation:
      return AnalyzeAlternatives(node.children);
  }
  return Nothing();
}

}  // namespace

std::optional<LiteralFilter> LiteralFilter::For(const PatternNode& root) {
  const Fact need = Required(Analyze(root));
  if (!need.known) return std::nullopt;
  std::set<std::string> texts;
  for (const std::string& text : need.texts) texts.insert(text.substr(0, kLongestText));
  return LiteralFilter(std::vector<std::string>(texts.begin(), texts.end()));
}

LiteralFilter::LiteralFilter(std::vector<std::string> texts) : texts_(std::move(texts)) {
  for (const std::string& text : texts_) {
    const auto first = static_cast<unsigned char>(text.front());
    startsText_[first] = true;
    startsText_[ToUpperAscii(first)] = true;
  }
}

bool LiteralFilter::MayMatch(std::string_view subject) const {
  if (subject.size() > kLongestFiltered) return true;
  const auto* bytes = reinterpret_cast<const unsigned char*>(subject.data());
  const std::size_t size = subject.size();
  for (std::size_t at = 0; at < size; ++at) {
    if (!startsText_[bytes[at]]) continue;
    for (const std::string& text : texts_) {
      if (text.size() > size - at) continue;
      std::size_t i = 0;
      while (i < text.size() && Folded(bytes[at + i]) == static_cast<unsigned char>(text[i])) ++i;
      if (i == text.size()) return true;
    }
  }
  return false;
}

}  // namespace vell
