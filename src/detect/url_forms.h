// The decoded forms of a URL: the texts a server or an application behind it may turn the raw URL
// into, so that a signature written for plain text also meets an attack that hides behind an
// encoding. Every step works in one pass, never lengthens its input and keeps dot segments ("../"
// is what traversal signatures look for).
#ifndef VELL_DETECT_URL_FORMS_H_
#define VELL_DETECT_URL_FORMS_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vell {

// One form of a URL and its name for reports: "raw", "percent-decoded", "percent-decoded x2",
// "percent-decoded x3" or "normalised".
struct UrlForm {
  const char* name;
  std::string text;
};

// At most this many forms: the raw URL, up to three percent-decoding passes, the normalised form.
inline constexpr std::size_t kMaxUrlForms = 5;

// Whether text holds anything a decoding step changes: "%", "+", "\", a NUL or a byte of 0xC0 and
// up. A text without any of them is its own decoded form.
bool NeedsDecoding(std::string_view text);

// One pass of strict percent-decoding: "%" and two hex digits become that byte; every other byte,
// a "%" without two hex digits included, is kept.
std::string PercentDecode(std::string_view text);

// One pass of the lenient decoding a server applies, in this order:
// - "%" and two hex digits, and the lax hex some servers accept (letters past "f" counted on, so
//   "%bg" is 0xC0 and "%qf" is 0xAF), become that byte;
// - "%u" and four hex digits become the character: ASCII as that byte, full-width forms and the
//   look-alikes of "/", "\" and "." as their ASCII character, anything else as UTF-8;
// - with plusIsSpace (a query's text: form encoding), "+" becomes a space;
// - overlong UTF-8 sequences of an ASCII character ("%c0%af", "%e0%80%af", "%f0%80%80%af", and the
//   lax two-byte ones with any second byte, such as "%c0%6e") become that character;
// - "\" becomes "/" and NUL bytes are removed.
// The result is never longer than text.
std::string NormaliseOnce(std::string_view text, bool plusIsSpace);

// NormaliseOnce repeated until the text no longer changes, three passes at most; "+" is a space
// (with plusIsSpace) in the first pass only. When firstPass is
// given and a second pass changed the text again (it was encoded more than once), *firstPass is
// the text after the first pass, which later passes may have turned into something else ("%%32%%66"
// is "%2%f" after one pass; a second decodes "%fb"); otherwise *firstPass is left empty.
std::string Normalise(std::string_view text, bool plusIsSpace, std::string* firstPass = nullptr);

// The normalised form of a URL: the path and the query (from the first "?") each normalised, with
// "+" as a space in the query.
std::string NormaliseUrl(std::string_view url);

// The distinct forms of url, the raw one first: the strict percent-decoding passes while they
// change the text (three at most) and then the normalised form (NormaliseUrl). A URL that needs no
// decoding has one form. Time and memory linear in the URL. The second form takes the normalised
// form from a caller that has worked out its parts already.
std::vector<UrlForm> DecodeUrlForms(std::string_view url);
std::vector<UrlForm> DecodeUrlForms(std::string_view url, std::string normalised);

}  // namespace vell

#endif  // VELL_DETECT_URL_FORMS_H_
