// Splits a query into decoded names and values.
#include "detect/arguments.h"

#include <algorithm>

#include "detect/url_forms.h"

namespace vell {

ParsedQuery SplitArguments(std::string_view query, std::size_t maxArguments) {
  // Most queries hold nothing to decode: one look answers for all their pieces.
  return SplitArguments(query, maxArguments, NeedsDecoding(query));
}

ParsedQuery SplitArguments(std::string_view query, std::size_t maxArguments, bool needsDecoding) {
  ParsedQuery parsed;
  const auto pieces = static_cast<std::size_t>(std::count(query.begin(), query.end(), '&')) + 1;
  parsed.arguments.reserve(std::min(maxArguments, pieces));
  auto decoded = [needsDecoding](std::string_view text, std::string* firstPass = nullptr) {
    return needsDecoding ? Normalise(text, true, firstPass) : std::string(text);
  };
  std::size_t start = 0;
  while (start < query.size()) {
    if (query[start] == '&') {
      ++start;
      continue;
    }
    const std::size_t end = std::min(query.find('&', start), query.size());
    const std::string_view piece = query.substr(start, end - start);
    const std::size_t equals = std::min(piece.find('='), piece.size());
    if (equals == piece.size()) parsed.formEncoded = false;
    if (parsed.arguments.size() == maxArguments) {
      if (parsed.rest.empty()) parsed.rest = decoded(query.substr(start));
      if (!parsed.formEncoded) break;
    } else {
      Argument& argument = parsed.arguments.emplace_back();
      argument.name = decoded(piece.substr(0, equals));
      if (equals < piece.size()) argument.value = decoded(piece.substr(equals + 1), &argument.valueFirstPass);
    }
    start = end + 1;
  }
  return parsed;
}

}  // namespace vell
