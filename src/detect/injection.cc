// Adapter for libinjection's SQL-injection and XSS detectors.
#include "detect/injection.h"

#include <libinjection.h>

#include <array>
#include <cstdint>

namespace vell {

namespace {

// Bytes by what the quick tests make of them.
enum : uint8_t { kHarmless = 0, kSqlHarmful = 1, kXssHarmful = 2 };
constexpr std::array<uint8_t, 256> kByteKinds = [] {
  std::array<uint8_t, 256> kinds{};
  for (uint8_t& kind : kinds) kind = kSqlHarmful;
  for (int c = 'a'; c <= 'z'; ++c) kinds[c] = kinds[c - 'a' + 'A'] = kHarmless;
  for (int c = '0'; c <= '9'; ++c) kinds[c] = kHarmless;
  for (const char c : std::string_view("_./:-")) kinds[static_cast<unsigned char>(c)] = kHarmless;
  for (const char c : std::string_view("<>=\"'`")) kinds[static_cast<unsigned char>(c)] |= kXssHarmful;
  return kinds;
}();

}  // namespace

bool MayBeSqlInjection(std::string_view value) {
  for (std::size_t i = 0; i < value.size(); ++i) {
    if ((kByteKinds[static_cast<unsigned char>(value[i])] & kSqlHarmful) != 0) return true;
    if (value[i] == '-' && i + 1 < value.size() && value[i + 1] == '-') return true;
  }
  return false;
}

bool MayBeXss(std::string_view value) {
  for (const char c : value) {
    if ((kByteKinds[static_cast<unsigned char>(c)] & kXssHarmful) != 0) return true;
  }
  return false;
}

std::optional<std::string> DetectSqlInjection(std::string_view value) {
  char fingerprint[8] = {};
  if (libinjection_sqli(value.data(), value.size(), fingerprint) == 0) return std::nullopt;
  return std::string(fingerprint);
}

bool DetectXss(std::string_view value) { return libinjection_xss(value.data(), value.size()) != 0; }

const char* InjectionLibraryVersion() { return libinjection_version(); }

}  // namespace vell
