// Required texts of a pattern, worked out over its syntax tree.
//
// Each node gets a Fact. An exact fact lists every text the node can match (after ASCII case
// folding): "ab|c" matches "ab" or "c". When that list would grow too long, or a repeat makes it
// open-ended, the fact becomes a requirement: every match contains one of the listed texts. A
// sequence multiplies exact lists while they stay short and otherwise keeps its most selective
// requirement, since a match of the sequence contains a match of each of its parts.
#include "pattern/literal_filter.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <map>
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

// How rarely a text occurs in the subjects rules see: letters and digits, which URLs, names and
// addresses are mostly made of, weigh 1; any other byte 2. A quote is rarer in a URL than "or".
std::size_t Weight(const std::string& text) {
  std::size_t weight = 0;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(Folded(static_cast<unsigned char>(c)));
    weight += (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') ? 1 : 2;
  }
  return weight;
}

// How selective a requirement is: the weight of its lightest text, then fewer texts; nothing is
// worst.
bool MoreSelective(const Fact& a, const Fact& b) {
  if (!a.known) return false;
  if (!b.known) return true;
  auto lightest = [](const Fact& f) {
    std::size_t n = SIZE_MAX;
    for (const std::string& t : f.texts) n = std::min(n, Weight(t));
    return n;
  };
  const std::size_t wa = lightest(a), wb = lightest(b);
  return wa != wb ? wa > wb : a.texts.size() < b.texts.size();
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

namespace {

// Two bytes as one number, in memory order, the way the scan reads them.
unsigned Pair(const unsigned char* bytes) {
  uint16_t pair;
  std::memcpy(&pair, bytes, sizeof pair);
  return pair;
}

// How often a (lower case) byte occurs in URLs and words, roughly: letters by their frequency in
// English text, digits and the separators of a URL as often as common letters, other bytes
// seldom. Only the order matters, to pick a text's least common pair.
unsigned Commonness(unsigned char c) {
  static constexpr unsigned char kLetters[26] = {82, 15, 28, 43, 127, 22, 20, 61, 70, 2,  8,  40, 24,
                                                 67, 75, 19, 1,  60, 63,  91, 28, 10, 24, 2, 20, 1};
  if (c >= 'a' && c <= 'z') return kLetters[c - 'a'];
  if (c >= '0' && c <= '9') return 40;
  switch (c) {
    case '/': case '.': case '=': case '&': case '%': return 60;
    case '?': case '-': case '_': return 30;
    default: return 1;
  }
}

// The offset of text's least common pair of bytes (the first of equals).
uint32_t AnchorOf(const std::string& text) {
  uint32_t best = 0;
  unsigned bestScore = UINT_MAX;
  for (uint32_t k = 0; k + 1 < text.size(); ++k) {
    const unsigned score = Commonness(static_cast<unsigned char>(text[k])) *
                           Commonness(static_cast<unsigned char>(text[k + 1]));
    if (score < bestScore) {
      bestScore = score;
      best = k;
    }
  }
  return best;
}

}  // namespace

std::optional<LiteralSetFilter> LiteralSetFilter::Of(const std::vector<const LiteralFilter*>& filters) {
  if (filters.empty()) return std::nullopt;
  std::set<std::string> texts;
  for (const LiteralFilter* filter : filters) {
    if (filter == nullptr) return std::nullopt;
    texts.insert(filter->texts().begin(), filter->texts().end());
  }
  LiteralSetFilter set;
  set.texts_.assign(texts.begin(), texts.end());
  set.pairs_.assign(std::size_t{1} << 16, kNoText);
  // Marks the pair (first, second) in either case of each, without lowering what is there.
  const auto mark = [&set](unsigned char first, unsigned char second, uint8_t what) {
    for (unsigned char a : {first, ToUpperAscii(first)}) {
      for (unsigned char b : {second, ToUpperAscii(second)}) {
        const unsigned char bytes[2] = {a, b};
        uint8_t& entry = set.pairs_[Pair(bytes)];
        if (entry != kOneByteText) entry = what;
      }
    }
  };
  // The anchored texts by their (lower case) anchor pair.
  std::map<std::string, std::vector<Anchored>> byAnchor;
  for (uint32_t t = 0; t < set.texts_.size(); ++t) {
    const std::string& text = set.texts_[t];
    const auto first = static_cast<unsigned char>(text.front());
    if (text.size() == 1) {
      set.oneByteText_[first] = set.oneByteText_[ToUpperAscii(first)] = true;
      for (unsigned second = 0; second < 256; ++second) {
        mark(first, static_cast<unsigned char>(second), kOneByteText);
      }
      continue;
    }
    const uint32_t offset = AnchorOf(text);
    byAnchor[text.substr(offset, 2)].push_back({t, offset});
  }
  constexpr std::size_t kBuckets = UINT8_MAX + 1 - kFirstBucket;
  std::vector<std::vector<Anchored>> buckets(std::min(byAnchor.size(), kBuckets));
  std::size_t place = 0;
  for (const auto& [anchor, members] : byAnchor) {
    const std::size_t bucket = std::min(place++, kBuckets - 1);
    buckets[bucket].insert(buckets[bucket].end(), members.begin(), members.end());
    mark(static_cast<unsigned char>(anchor[0]), static_cast<unsigned char>(anchor[1]),
         static_cast<uint8_t>(bucket + kFirstBucket));
  }
  for (const std::vector<Anchored>& members : buckets) {
    const auto begin = static_cast<uint32_t>(set.anchored_.size());
    set.anchored_.insert(set.anchored_.end(), members.begin(), members.end());
    set.buckets_.push_back({begin, static_cast<uint32_t>(set.anchored_.size())});
  }
  return set;
}

bool LiteralSetFilter::TextAround(const unsigned char* bytes, std::size_t size, std::size_t at,
                                  uint32_t begin, uint32_t end) const {
  for (uint32_t a = begin; a < end; ++a) {
    const Anchored& anchored = anchored_[a];
    if (anchored.offset > at) continue;
    const std::size_t start = at - anchored.offset;
    const std::string& text = texts_[anchored.text];
    if (text.size() > size - start) continue;
    std::size_t i = 0;
    while (i < text.size() && Folded(bytes[start + i]) == static_cast<unsigned char>(text[i])) ++i;
    if (i == text.size()) return true;
  }
  return false;
}

bool LiteralSetFilter::MayMatch(std::string_view subject) const {
  const auto* bytes = reinterpret_cast<const unsigned char*>(subject.data());
  const std::size_t size = subject.size();
  if (size == 0) return false;
  const uint8_t* pairs = pairs_.data();
  for (std::size_t at = 0; at + 1 < size; ++at) {
    // Four pairs at a time while none of them is the start or anchor of a text, which is most of
    // a URL.
    while (at + 4 < size && (pairs[Pair(bytes + at)] | pairs[Pair(bytes + at + 1)] |
                             pairs[Pair(bytes + at + 2)] | pairs[Pair(bytes + at + 3)]) == kNoText) {
      at += 4;
    }
    const uint8_t what = pairs[Pair(bytes + at)];
    if (what == kNoText) continue;
    if (what == kOneByteText) return true;
    const auto& bucket = buckets_[what - kFirstBucket];
    if (TextAround(bytes, size, at, bucket[0], bucket[1])) return true;
  }
  return oneByteText_[bytes[size - 1]];
}

}  // namespace vell
