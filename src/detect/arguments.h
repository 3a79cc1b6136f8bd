// The query of a URL as an application reads it: names and values, each decoded.
#ifndef VELL_DETECT_ARGUMENTS_H_
#define VELL_DETECT_ARGUMENTS_H_

#include <string>
#include <string_view>
#include <vector>

namespace vell {

struct Argument {
  std::string name;   // decoded (Normalise, "+" as a space), NUL bytes removed
  std::string value;  // likewise; empty for a name without "="
  // The value after one decoding pass when it was encoded more than once, otherwise empty.
  std::string valueFirstPass;
};

// Splits a query (the text after the URL's first "?", without the "?") at "&" into pieces and
// each piece at its first "=" into name and value; empty pieces ("a&&b", a trailing "&") are
// skipped. Each name and value is decoded with Normalise, "+" as a space (valueFirstPass is its
// firstPass). Linear in the query.
std::vector<Argument> SplitArguments(std::string_view query);

// Whether every non-empty piece of query has a "=", as a browser's form submission does. A query
// that is not is one text rather than arguments to the application (a "&" in it may be a command
// separator that splitting would hide).
bool QueryIsFormEncoded(std::string_view query);

}  // namespace vell

#endif  // VELL_DETECT_ARGUMENTS_H_
