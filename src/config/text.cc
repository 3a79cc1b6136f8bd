// Trimming, token splitting and number reading for the configuration grammars.
#include "config/text.h"

#include <climits>

#include <boost/tokenizer.hpp>

namespace vell {

namespace {

// The space class of the "C" locale, whatever locale the process runs in.
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::string TrimWhitespace(const std::string& text) { return std::string(TrimWhitespaceView(text)); }

std::string_view TrimWhitespaceView(std::string_view text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && IsSpace(text[begin])) ++begin;
  while (end > begin && IsSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::vector<std::string> SplitTokens(const std::string& value) {
  boost::char_separator<char> separator(",", "", boost::drop_empty_tokens);
  boost::tokenizer<boost::char_separator<char>> tokens(value, separator);
  return {tokens.begin(), tokens.end()};
}

std::vector<std::string> SplitWords(const std::string& text) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsSpace(text[i])) ++i;
    const std::size_t start = i;
    while (i < text.size() && !IsSpace(text[i])) ++i;
    if (i > start) words.push_back(text.substr(start, i - start));
  }
  return words;
}

int32_t ParseNumber(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT32_MAX) + 1) value = static_cast<long long>(INT32_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

}  // namespace vell
