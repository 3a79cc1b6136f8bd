// The SQL-injection and XSS detectors (libinjection) on one decoded value. The value is tested in
// each of the library's contexts: as it stands and as if it followed a single or double quote for
// SQL, and in the HTML text, unquoted, quoted and back-quoted attribute contexts for XSS.
// Stateless; safe to call from any number of threads.
#ifndef VELL_DETECT_INJECTION_H_
#define VELL_DETECT_INJECTION_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vell {

// The SQL token fingerprint (e.g. "s&sos") when value reads as SQL injection, otherwise nothing.
std::optional<std::string> DetectSqlInjection(std::string_view value);

// Whether value, placed in an HTML page, would run script.
bool DetectXss(std::string_view value);

// Whether a detector could flag value at all, so that most values need no detector run. Values
// made only of letters, digits and "_", ".", "/", ":" and "-" without a "--" (a comment: "1--"
// reads as SQL) never read as SQL injection, and values without "<", ">", "=", a quote or a
// back-quote never as XSS.
bool MayBeSqlInjection(std::string_view value);
bool MayBeXss(std::string_view value);

// Both answers from one pass over value.
struct InjectionCandidates {
  bool sql;  // MayBeSqlInjection
  bool xss;  // MayBeXss
};
InjectionCandidates ScreenForInjection(std::string_view value);

// What libinjection's work on a text grows with: one unit per byte, and kInjectionTokenUnits per
// token (a run of letters and digits, or any other byte but a blank), where its folding and its
// word look-ups spend their time. Either detector takes at most some 100 instructions per unit,
// on any text; a caller bounds the work per request by units.
inline constexpr std::size_t kInjectionTokenUnits = 8;

struct InjectionPrefix {
  std::size_t size;   // bytes
  std::size_t units;  // what they cost
};
// The longest beginning of text that costs at most `units`, cut where a token begins (so no word
// is cut), and its cost. Linear in text.
InjectionPrefix InjectionPrefixWithin(std::string_view text, std::size_t units);

// The library's version, for reports.
const char* InjectionLibraryVersion();

}  // namespace vell

#endif  // VELL_DETECT_INJECTION_H_
