// Adapter for libinjection's SQL-injection and XSS detectors.
#include "detect/injection.h"

#include <libinjection.h>

namespace vell {

namespace {

bool IsHarmlessForSql(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '.' || c == '/' || c == ':';
}

}  // namespace

bool MayBeSqlInjection(std::string_view value) {
  for (const char c : value) {
    if (!IsHarmlessForSql(static_cast<unsigned char>(c))) return true;
  }
  return false;
}

bool MayBeXss(std::string_view value) {
  return value.find_first_of("<>=\"'`") != std::string_view::npos;
}

std::optional<std::string> DetectSqlInjection(std::string_view value) {
  char fingerprint[8] = {};
  if (libinjection_sqli(value.data(), value.size(), fingerprint) == 0) return std::nullopt;
  return std::string(fingerprint);
}

bool DetectXss(std::string_view value) { return libinjection_xss(value.data(), value.size()) != 0; }

const char* InjectionLibraryVersion() { return libinjection_version(); }

}  // namespace vell
