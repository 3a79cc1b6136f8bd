// Text helpers shared by the configuration grammars.
#ifndef VELL_CONFIG_TEXT_H_
#define VELL_CONFIG_TEXT_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vell {

// The text without leading and trailing space, tab, LF, VT, FF and CR. Bytes >= 0x80 are never
// white space.
std::string TrimWhitespace(const std::string& text);
// The same, within text.
std::string_view TrimWhitespaceView(std::string_view text);

// The maximal runs of characters other than ",", in order; empty runs give no token.
std::vector<std::string> SplitTokens(const std::string& value);

// The runs of characters that are not white space, in order.
std::vector<std::string> SplitWords(const std::string& text);

// A decimal number read like atoi: leading white space, optional sign, digits up to the first
// other character; 0 without digits. Values outside the 32-bit range saturate.
int32_t ParseNumber(const std::string& text);

}  // namespace vell

#endif  // VELL_CONFIG_TEXT_H_
