// How the fuzz targets cut one input into texts, and how the seed writer joins texts into one: the
// texts in order, each ended by a NUL byte; a missing text is empty.
#ifndef VELL_TESTS_FUZZ_FUZZ_INPUT_H_
#define VELL_TESTS_FUZZ_FUZZ_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vell::fuzz {

inline std::vector<std::string_view> SplitInput(const uint8_t* data, std::size_t size, std::size_t count) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> texts;
  while (texts.size() + 1 < count) {
    const std::size_t end = rest.find('\0');
    if (end == std::string_view::npos) break;
    texts.push_back(rest.substr(0, end));
    rest.remove_prefix(end + 1);
  }
  texts.push_back(rest);
  texts.resize(count);
  return texts;
}

inline std::string JoinInput(const std::vector<std::string>& texts) {
  std::string input;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) input += '\0';
    input += texts[i];
  }
  return input;
}

}  // namespace vell::fuzz

#endif  // VELL_TESTS_FUZZ_FUZZ_INPUT_H_
