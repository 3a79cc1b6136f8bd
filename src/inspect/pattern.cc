// Placeholder matcher: plain Boost.Regex with case ignored, until the syntax reader lands.
#include "inspect/pattern.h"

#include <boost/regex.hpp>

namespace vell {

struct CompiledPattern::Impl {
  std::string source;
  std::string error;
  std::optional<boost::regex> re;
};

CompiledPattern::CompiledPattern(const std::string& pattern) : impl_(std::make_unique<Impl>()) {
  impl_->source = pattern;
  if (pattern.empty()) {
    impl_->error = "empty pattern";
    return;
  }
  try {
    impl_->re.emplace(pattern, boost::regex::perl | boost::regex::icase);
  } catch (const std::exception& e) {
    impl_->error = e.what();
  }
}

CompiledPattern::~CompiledPattern() = default;

const std::string& CompiledPattern::source() const { return impl_->source; }
bool CompiledPattern::valid() const { return impl_->re.has_value(); }
const std::string& CompiledPattern::error() const { return impl_->error; }

bool CompiledPattern::Search(std::string_view subject) const {
  return FindFirst(subject).has_value();
}

std::optional<CompiledPattern::Span> CompiledPattern::FindFirst(std::string_view subject) const {
  if (!impl_->re) return std::nullopt;
  try {
    boost::match_results<std::string_view::const_iterator> m;
    if (!boost::regex_search(subject.begin(), subject.end(), m, *impl_->re)) return std::nullopt;
    return Span{static_cast<std::size_t>((m[0].first - subject.begin())),
                static_cast<std::size_t>(m[0].second - subject.begin())};
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::string CompiledPattern::ReplaceFirst(const std::string& subject,
                                          const std::string& format) const {
  if (!impl_->re) return subject;
  return boost::regex_replace(subject, *impl_->re, format, boost::format_first_only);
}

bool PatternSearch(const std::string& subject, const std::string& pattern) {
  return CompiledPattern(pattern).Search(subject);
}

std::string PatternReplaceFirst(const std::string& subject, const std::string& pattern,
                                const std::string& format) {
  return CompiledPattern(pattern).ReplaceFirst(subject, format);
}

}  // namespace vell
