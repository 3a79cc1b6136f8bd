// Splits a query into decoded names and values.
#include "detect/arguments.h"

#include <algorithm>

#include "detect/url_forms.h"

namespace vell {

std::vector<Argument> SplitArguments(std::string_view query) {
  std::vector<Argument> arguments;
  std::size_t start = 0;
  while (start <= query.size()) {
    std::size_t end = query.find('&', start);
    if (end == std::string_view::npos) end = query.size();
    const std::string_view piece = query.substr(start, end - start);
    start = end + 1;
    if (piece.empty()) continue;
    const std::size_t equals = std::min(piece.find('='), piece.size());
    Argument& argument = arguments.emplace_back();
    argument.name = Normalise(piece.substr(0, equals), true);
    if (equals < piece.size()) {
      argument.value = Normalise(piece.substr(equals + 1), true, &argument.valueFirstPass);
    }
  }
  return arguments;
}

bool QueryIsFormEncoded(std::string_view query) {
  std::size_t start = 0;
  while (start < query.size()) {
    std::size_t end = query.find('&', start);
    if (end == std::string_view::npos) end = query.size();
    const std::string_view piece = query.substr(start, end - start);
    if (!piece.empty() && piece.find('=') == std::string_view::npos) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace vell
