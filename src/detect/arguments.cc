// Splits a query into decoded names and values.
#include "detect/arguments.h"

#include <algorithm>

#include "detect/url_forms.h"

namespace vell {

ParsedQuery SplitArguments(std::string_view query, std::size_t maxArguments) {
  ParsedQuery parsed;
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
      if (parsed.rest.empty()) parsed.rest = Normalise(query.substr(start), true);
      if (!parsed.formEncoded) break;
    } else {
      Argument& argument = parsed.arguments.emplace_back();
      argument.name = Normalise(piece.substr(0, equals), true);
      if (equals < piece.size()) {
        argument.value = Normalise(piece.substr(equals + 1), true, &argument.valueFirstPass);
      }
    }
    start = end + 1;
  }
  return parsed;
}

}  // namespace vell
