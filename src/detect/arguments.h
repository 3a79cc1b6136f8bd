// The query of a URL as an application reads it: names and values, each decoded.
#ifndef VELL_DETECT_ARGUMENTS_H_
#define VELL_DETECT_ARGUMENTS_H_

#include <cstddef>
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

// How many arguments a query is split into at most, so that the work per request stays bounded
// whatever the number of "&"; the pieces after them are one text (ParsedQuery::rest).
inline constexpr std::size_t kMaxArguments = 32;

struct ParsedQuery {
  // The first pieces (up to the limit), each split at its first "=" into name and value.
  std::vector<Argument> arguments;
  // Whether every non-empty piece has a "=", as a browser's form submission does. A query that is
  // not is one text rather than arguments to the application (a "&" in it may be a command
  // separator that splitting would hide).
  bool formEncoded = true;
  // The query from the first piece past the limit on, normalised as one text ("+" as a space);
  // empty when every piece is an argument.
  std::string rest;
};

// Splits a query (the text after the URL's first "?", without the "?") at "&" into pieces and
// each piece at its first "=" into name and value; empty pieces ("a&&b", a trailing "&") are
// skipped. Each name and value is decoded with Normalise, "+" as a space (valueFirstPass is its
// firstPass). Linear in the query.
ParsedQuery SplitArguments(std::string_view query, std::size_t maxArguments = kMaxArguments);
// The same for a caller that knows whether the query needs decoding at all (NeedsDecoding).
ParsedQuery SplitArguments(std::string_view query, std::size_t maxArguments, bool needsDecoding);

}  // namespace vell

#endif  // VELL_DETECT_ARGUMENTS_H_
