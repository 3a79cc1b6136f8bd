// Adapter for libinjection's SQL-injection and XSS detectors.
#include "detect/injection.h"

#include <libinjection.h>

#include <array>
#include <cstdint>

namespace vell {

namespace {

// Bytes by what the quick tests make of them, and which run together into one token (letters,
// digits, "_" and the bytes of UTF-8 sequences).
enum : uint8_t { kHarmless = 0, kSqlHarmful = 1, kXssHarmful = 2, kDash = 4, kWord = 8 };
constexpr std::array<uint8_t, 256> kByteKinds = [] {
  std::array<uint8_t, 256> kinds{};
  for (uint8_t& kind : kinds) kind = kSqlHarmful;
  for (int c = 'a'; c <= 'z'; ++c) kinds[c] = kinds[c - 'a' + 'A'] = kWord;
  for (int c = '0'; c <= '9'; ++c) kinds[c] = kWord;
  kinds['_'] = kWord;
  for (const char c : std::string_view("./:")) kinds[static_cast<unsigned char>(c)] = kHarmless;
  kinds['-'] = kDash;  // harmless alone, not doubled
  for (std::size_t c = 0x80; c < kinds.size(); ++c) kinds[c] |= kWord;
  for (const char c : std::string_view("<>=\"'`")) kinds[static_cast<unsigned char>(c)] |= kXssHarmful;
  return kinds;
}();

}  // namespace

InjectionCandidates ScreenForInjection(std::string_view value) {
  unsigned kinds = 0, previous = 0;
  for (const char c : value) {
    const unsigned kind = kByteKinds[static_cast<unsigned char>(c)];
    kinds |= kind | (previous & kind & kDash) >> 2;  // "--" counts as SQL
    // A byte harmful to HTML is harmful to SQL too: nothing more to learn.
    if ((kinds & kXssHarmful) != 0) break;
    previous = kind;
  }
  return {(kinds & kSqlHarmful) != 0, (kinds & kXssHarmful) != 0};
}

bool MayBeSqlInjection(std::string_view value) { return ScreenForInjection(value).sql; }

bool MayBeXss(std::string_view value) { return ScreenForInjection(value).xss; }

InjectionPrefix InjectionPrefixWithin(std::string_view text, std::size_t units) {
  std::size_t used = 0;
  std::size_t wordStart = 0, usedBeforeWord = 0;  // where the word being read began, and the cost before it
  bool inWord = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool word = (kByteKinds[c] & kWord) != 0;
    const bool blank = c == ' ' || (c >= '\t' && c <= '\r');
    const bool startsToken = !blank && !(word && inWord);
    if (word && !inWord) {
      wordStart = i;
      usedBeforeWord = used;
    }
    const std::size_t cost = 1 + (startsToken ? kInjectionTokenUnits : 0);
    if (used + cost > units) {
      if (word && inWord) return {wordStart, usedBeforeWord};
      return {i, used};
    }
    used += cost;
    inWord = word;
  }
  return {text.size(), used};
}

std::optional<std::string> DetectSqlInjection(std::string_view value) {
  char fingerprint[8] = {};
  if (libinjection_sqli(value.data(), value.size(), fingerprint) == 0) return std::nullopt;
  return std::string(fingerprint);
}

bool DetectXss(std::string_view value) { return libinjection_xss(value.data(), value.size()) != 0; }

const char* InjectionLibraryVersion() { return libinjection_version(); }

}  // namespace vell
