// Adapter for libinjection's SQL-injection and XSS detectors.
#include "detect/injection.h"

#include <libinjection.h>

#include <array>
#include <cstdint>

namespace vell {

namespace {

// Bytes by what the quick tests make of them.
enum : uint8_t { kHarmless = 0, kSqlHarmful = 1, kXssHarmful = 2, kDash = 4 };
constexpr std::array<uint8_t, 256> kByteKinds = [] {
  std::array<uint8_t, 256> kinds{};
  for (uint8_t& kind : kinds) kind = kSqlHarmful;
  for (int c = 'a'; c <= 'z'; ++c) kinds[c] = kinds[c - 'a' + 'A'] = kHarmless;
  for (int c = '0'; c <= '9'; ++c) kinds[c] = kHarmless;
  for (const char c : std::string_view("_./:")) kinds[static_cast<unsigned char>(c)] = kHarmless;
  kinds['-'] = kDash;
  for (const char c : std::string_view("<>=\"'`")) kinds[static_cast<unsigned char>(c)] |= kXssHarmful;
  return kinds;
}();

}  // namespace

InjectionCandidates ScreenForInjection(std::string_view value) {
  unsigned kinds = 0, previous = 0;
  for (const char c : value) {
    const unsigned kind = kByteKinds[static_cast<unsigned char>(c)];
    kinds |= kind | (previous & kind & kDash) >> 2;  // "--" counts as SQL
    previous = kind;
  }
  return {(kinds & kSqlHarmful) != 0, (kinds & kXssHarmful) != 0};
}

bool MayBeSqlInjection(std::string_view value) { return ScreenForInjection(value).sql; }

bool MayBeXss(std::string_view value) { return ScreenForInjection(value).xss; }

std::optional<std::string> DetectSqlInjection(std::string_view value) {
  char fingerprint[8] = {};
  if (libinjection_sqli(value.data(), value.size(), fingerprint) == 0) return std::nullopt;
  return std::string(fingerprint);
}

bool DetectXss(std::string_view value) { return libinjection_xss(value.data(), value.size()) != 0; }

const char* InjectionLibraryVersion() { return libinjection_version(); }

}  // namespace vell
