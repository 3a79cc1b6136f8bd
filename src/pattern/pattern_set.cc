// One linear-time pass over a subject for every pattern of a list that has such a form.
#include "pattern/pattern_set.h"

#include <algorithm>
#include <map>
#include <optional>

#include <re2/set.h>

#include "pattern/literal_filter.h"
#include "pattern/pattern_re2.h"

namespace vell {

// The patterns' linear forms in one RE2 set; slot k of the set stands for entries members[k].
struct PatternSet::OnePass {
  explicit OnePass(const re2::RE2::Options& options) : set(options, re2::RE2::UNANCHORED) {}
  re2::RE2::Set set;
  std::vector<std::vector<std::size_t>> members;
  // The answers before the pass: no for every pattern in the set, unknown for the others.
  std::vector<uint8_t> absent;
  // Every pattern of the list is in the set or never matches (null, invalid), so a pass that finds
  // nothing answers all.
  bool coversAll = false;
  // The texts of the set's patterns: a subject that holds none of them needs no pass.
  std::optional<LiteralSetFilter> texts;
};

namespace {

// Room for the one-pass engine's state machine; it grows with use up to this bound, and a subject
// that needs more is answered pattern by pattern instead.
constexpr int64_t kOnePassMemory = 16 << 20;

}  // namespace

PatternSet::PatternSet(std::vector<CompiledPatternPtr> patterns) : patterns_(std::move(patterns)) {
  re2::RE2::Options options = LinearEngineOptions();
  options.set_max_mem(kOnePassMemory);
  auto onePass = std::make_unique<OnePass>(options);
  std::map<const CompiledPattern*, std::size_t> slotOf;
  for (std::size_t i = 0; i < patterns_.size(); ++i) {
    const CompiledPattern* pattern = patterns_[i].get();
    if (pattern == nullptr || !pattern->linear()) continue;
    auto [it, inserted] = slotOf.try_emplace(pattern, onePass->members.size());
    if (inserted) {
      if (onePass->set.Add(pattern->linearForm(), nullptr) < 0) {
        slotOf.erase(it);
        continue;  // asked one by one instead
      }
      onePass->members.emplace_back();
    }
    onePass->members[it->second].push_back(i);
  }
  // A single pattern is searched on its own when it is asked about: no pass is made for a rule
  // that an earlier rule's hit makes moot.
  if (onePass->members.size() < 2 || !onePass->set.Compile()) return;
  onePass->absent.assign(patterns_.size(), Scan::kUnknown);
  for (const auto& members : onePass->members) {
    for (std::size_t index : members) onePass->absent[index] = Scan::kNo;
  }
  std::vector<const LiteralFilter*> filters;
  for (const auto& members : onePass->members) {
    filters.push_back(patterns_[members.front()]->literalFilter());
  }
  onePass->texts = LiteralSetFilter::Of(filters);
  onePass->coversAll = true;
  for (std::size_t i = 0; i < patterns_.size(); ++i) {
    const CompiledPattern* pattern = patterns_[i].get();
    if (pattern != nullptr && pattern->valid() && onePass->absent[i] != Scan::kNo) onePass->coversAll = false;
  }
  onePass_ = std::move(onePass);
}

PatternSet::PatternSet() = default;
PatternSet::~PatternSet() = default;
PatternSet::PatternSet(PatternSet&&) noexcept = default;
PatternSet& PatternSet::operator=(PatternSet&&) noexcept = default;

PatternSet::Scan PatternSet::ScanSubject(std::string_view subject) const {
  Scan scan = NewScan(subject);
  if (!onePass_) return scan;
  // Most subjects match nothing: the first pass only asks whether anything matches, which stops at
  // the first match and lists nothing. Which patterns matched is asked only when one did. Most of
  // those subjects do not even hold a text that some match of the set needs.
  const re2::StringPiece text(subject.data(), subject.size());
  re2::RE2::Set::ErrorInfo error{};
  const bool any = (!onePass_->texts || onePass_->texts->MayMatch(subject)) &&
                   onePass_->set.Match(text, nullptr, &error);
  if (!any && error.kind != re2::RE2::Set::kNoError) {
    return scan;  // out of room for this subject: every pattern is asked on its own
  }
  uint8_t* state = scan.state();
  std::copy(onePass_->absent.begin(), onePass_->absent.end(), state);
  if (!any) {
    scan.noneFound_ = onePass_->coversAll;
    return scan;
  }
  std::vector<int> hits;
  if (!onePass_->set.Match(text, &hits, &error)) {
    std::fill_n(state, patterns_.size(), Scan::kUnknown);
    return scan;
  }
  for (int slot : hits) {
    for (std::size_t index : onePass_->members[static_cast<std::size_t>(slot)]) {
      state[index] = Scan::kYes;
    }
  }
  return scan;
}

MatchResult PatternSet::Scan::Ask(std::size_t index) {
  const CompiledPattern* pattern = set_->patterns_[index].get();
  return Keep(index, pattern != nullptr ? pattern->Match(subject_) : MatchResult::kNoMatch);
}

}  // namespace vell
