// Decoding steps for URLs and their values, and the list of a URL's distinct decoded forms.
#include "detect/url_forms.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace vell {

namespace {

// Digit values by byte, -1 for a byte that is no digit. The lax table counts letters on past "f"
// ("g" is 16, "z" is 35), as servers that accept the "%bg%qf" spelling of "%c0%af" do.
template <int kLetters>
constexpr std::array<int8_t, 256> DigitTable() {
  std::array<int8_t, 256> table{};
  for (int8_t& value : table) value = -1;
  for (int i = 0; i < 10; ++i) table['0' + i] = static_cast<int8_t>(i);
  for (int i = 0; i < kLetters; ++i) table['a' + i] = table['A' + i] = static_cast<int8_t>(10 + i);
  return table;
}
constexpr std::array<int8_t, 256> kHexDigits = DigitTable<6>();
constexpr std::array<int8_t, 256> kLaxHexDigits = DigitTable<26>();

int HexValue(char c) { return kHexDigits[static_cast<unsigned char>(c)]; }
int LaxHexValue(char c) { return kLaxHexDigits[static_cast<unsigned char>(c)]; }

// Each decoding step writes into a buffer of its input's size (no step lengthens its text) through
// a local pointer, which the compiler keeps in a register: appending byte by byte would check the
// capacity every time, and a pointer in an object may be aliased by the bytes written through it.
void Finish(std::string& buffer, const char* end) { buffer.resize(static_cast<std::size_t>(end - buffer.data())); }

// What a lenient pass does with a byte besides copying it: an escape may start, a "+" may be a
// space, and the second step may change it (the lead bytes of overlong sequences, NUL, "\\").
enum : uint8_t { kPercentByte = 1, kPlusByte = 2, kSecondStepByte = 4 };
constexpr std::array<uint8_t, 256> kDecodingBytes = [] {
  std::array<uint8_t, 256> kinds{};
  kinds['%'] = kPercentByte;
  kinds['+'] = kPlusByte;
  kinds[0] = kinds['\\'] = kSecondStepByte;
  for (std::size_t b = 0xC0; b < kinds.size(); ++b) kinds[b] = kSecondStepByte;
  return kinds;
}();

// Puts the character of a "%uXXXX" escape: ASCII as itself, full-width forms and look-alikes of
// the characters that separate paths as their ASCII character, anything else as UTF-8 (at most
// three bytes, so never longer than the six-byte escape).
void PutCodePoint(uint32_t cp, char*& out) {
  if (cp >= 0xFF01 && cp <= 0xFF5E) cp -= 0xFEE0;  // full-width ASCII
  switch (cp) {
    case 0x2215: case 0x2044: case 0x29F8: case 0xFE6B:  // division and fraction slashes, big solidus
      cp = '/';
      break;
    case 0x2216: case 0x29F5: case 0x29F9: case 0xFE68:  // set minus, reverse solidus look-alikes
      cp = '\\';
      break;
    case 0xEFC8: case 0xF025:  // private-use code points that old IIS decoders mapped to "/" and "\"
      cp = '/';
      break;
    case 0x2024: case 0xFE52: case 0xFF61:  // one-dot leader, small and half-width full stops
      cp = '.';
      break;
    case 0x2025:  // two-dot leader
      *out++ = '.';
      *out++ = '.';
      return;
    default:
      break;
  }
  if (cp < 0x80) {
    *out++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out++ = static_cast<char>(0xC0 | (cp >> 6));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out++ = static_cast<char>(0xE0 | (cp >> 12));
    *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The length of an overlong UTF-8 sequence of an ASCII character at text[i] and that character,
// or 0. Two-byte leads 0xC0 and 0xC1 only ever spell ASCII, and some decoders take any second byte
// with them ("%c0%6e" as "."); longer sequences need real continuation bytes.
std::size_t OverlongAt(std::string_view text, std::size_t i, char* ascii) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t length = 0;
  if (lead == 0xC0 || lead == 0xC1) {
    length = 2;
  } else if (lead >= 0xE0 && lead < 0xFE) {
    length = lead < 0xF0 ? 3 : lead < 0xF8 ? 4 : lead < 0xFC ? 5 : 6;
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  uint32_t cp = lead & (0x7Fu >> length);
  for (std::size_t k = 1; k < length; ++k) {
    const auto c = static_cast<unsigned char>(text[i + k]);
    if (length > 2 && !IsContinuation(c)) return 0;
    cp = (cp << 6) | (c & 0x3Fu);
  }
  if (cp >= 0x80) return 0;
  *ascii = static_cast<char>(cp);
  return length;
}

// One lenient pass into out, in one go as far as it can: the escapes ("%XX", lax hex too, "%uXXXX",
// and "+" when plusIsSpace) decoded, and the second step (NUL bytes removed, "\" as "/") applied
// to each decoded byte until the first that may lead an overlong sequence (0xC0 and up), whose
// folding needs the bytes after it decoded first. *foldFrom is where in out that byte lies (npos
// when there is none): the second step is left to FoldInPlace from there. Returns whether anything
// changed so far.
bool DecodeEscapes(std::string_view text, bool plusIsSpace, std::string& out, std::size_t* foldFrom) {
  out.resize(text.size());
  char* const begin = out.data();
  char* o = begin;
  // Plain locals, whose address is never taken, so that the bytes written through o need not be
  // assumed to change them.
  bool changed = false;
  std::size_t firstLead = std::string::npos;
  // The kinds of byte that need more than a copy; the second step's bytes until the first lead.
  unsigned active = kPercentByte | (plusIsSpace ? unsigned{kPlusByte} : 0u) | kSecondStepByte;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char b = text[i];
    const unsigned kind = kDecodingBytes[static_cast<unsigned char>(b)] & active;
    if (kind == 0) {  // most bytes
      *o++ = b;
      continue;
    }
    const std::size_t left = text.size() - i - 1;
    if (b == '+') {  // a space here, or kind would be 0
      b = ' ';
      changed = true;
    } else if (b != '%') {
      // a byte of the second step, below
    } else if (left >= 2 && (text[i + 1] | 0x20) != 'u') {
      const int high = LaxHexValue(text[i + 1]), low = LaxHexValue(text[i + 2]);
      if ((high | low) >= 0) {
        b = static_cast<char>((high * 16 + low) & 0xFF);
        changed = true;
        i += 2;
      }
    } else if (left >= 5) {
      // A "%u" that is no Unicode escape is no lax hex escape either.
      const int d0 = HexValue(text[i + 2]), d1 = HexValue(text[i + 3]);
      const int d2 = HexValue(text[i + 4]), d3 = HexValue(text[i + 5]);
      if ((d0 | d1 | d2 | d3) >= 0) {
        char character[3];
        char* end = character;
        PutCodePoint(static_cast<uint32_t>((d0 << 12) | (d1 << 8) | (d2 << 4) | d3), end);
        changed = true;
        i += 5;
        // All but its last byte here, the last below.
        for (const char* p = character; p + 1 < end; ++p) {
          if ((active & kSecondStepByte) != 0 && static_cast<unsigned char>(*p) >= 0xC0) {
            active &= ~kSecondStepByte;
            firstLead = static_cast<std::size_t>(o - begin);
          }
          *o++ = *p;  // "." or a byte of a UTF-8 sequence: never NUL or a backslash
        }
        b = end[-1];
      }
    }
    if ((kDecodingBytes[static_cast<unsigned char>(b)] & active & kSecondStepByte) != 0) {
      if (static_cast<unsigned char>(b) >= 0xC0) {
        active &= ~kSecondStepByte;
        firstLead = static_cast<std::size_t>(o - begin);
      } else {
        changed = true;
        if (b == '\0') continue;
        b = '/';
      }
    }
    *o++ = b;
  }
  Finish(out, o);
  *foldFrom = firstLead;
  return changed;
}

// The second step of NormaliseOnce on text from `from` on, in place (it never lengthens the
// text): overlong sequences of ASCII folded, NUL bytes removed, "\" as "/". Returns whether
// anything changed.
bool FoldInPlace(std::string& text, std::size_t from) {
  char* o = text.data() + from;
  bool changed = false;
  for (std::size_t i = from; i < text.size(); ++i) {
    char c = text[i];
    if (static_cast<unsigned char>(c) >= 0xC0) {
      if (const std::size_t length = OverlongAt(text, i, &c)) {
        i += length - 1;
        changed = true;
      }
    }
    if (c == '\0' || c == '\\') changed = true;
    if (c == '\0') continue;
    *o++ = c == '\\' ? '/' : c;
  }
  Finish(text, o);
  return changed;
}

// One lenient pass (NormaliseOnce) into out; returns whether it changed the text.
bool NormaliseInto(std::string_view text, bool plusIsSpace, std::string& out) {
  std::size_t foldFrom = std::string::npos;
  const bool decoded = DecodeEscapes(text, plusIsSpace, out, &foldFrom);
  const bool folded = foldFrom != std::string::npos && FoldInPlace(out, foldFrom);
  return decoded || folded;
}

// One strict pass (PercentDecode) into out; returns whether it decoded anything. *percentLeft says
// whether out holds a "%", without which another pass changes nothing.
bool PercentDecodeInto(std::string_view text, std::string& out, bool* percentLeft) {
  out.resize(text.size());
  char* o = out.data();
  bool changed = false, percent = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char b = text[i];
    if (b == '%') {
      if (text.size() - i > 2) {
        const int high = HexValue(text[i + 1]), low = HexValue(text[i + 2]);
        if ((high | low) >= 0) {
          b = static_cast<char>(high * 16 + low);
          changed = true;
          i += 2;
        }
      }
      percent |= b == '%';
    }
    *o++ = b;
  }
  Finish(out, o);
  *percentLeft = percent;
  return changed;
}

}  // namespace

bool NeedsDecoding(std::string_view text) {
  static constexpr std::array<bool, 256> kStartsDecoding = [] {
    std::array<bool, 256> table{};
    table['%'] = table['+'] = table['\\'] = table[0] = true;
    for (std::size_t b = 0xC0; b < table.size(); ++b) table[b] = true;
    return table;
  }();
  // Eight bytes at a time (every text of a request is read here first): a word holds one of the
  // bytes when it has a zero byte after an exclusive or with it, or a byte with its two high bits.
  constexpr uint64_t kOnes = 0x0101010101010101u, kHighBits = 0x8080808080808080u;
  auto hasZeroByte = [](uint64_t v) { return ((v - kOnes) & ~v & kHighBits) != 0; };
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof word);
    if (hasZeroByte(word) || hasZeroByte(word ^ (kOnes * '%')) || hasZeroByte(word ^ (kOnes * '+')) ||
        hasZeroByte(word ^ (kOnes * '\\')) || (word & (word << 1) & kHighBits) != 0) {
      return true;
    }
  }
  for (; i < text.size(); ++i) {
    if (kStartsDecoding[static_cast<unsigned char>(text[i])]) return true;
  }
  return false;
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  bool percentLeft = false;
  PercentDecodeInto(text, out, &percentLeft);
  return out;
}

std::string NormaliseOnce(std::string_view text, bool plusIsSpace) {
  std::string out;
  NormaliseInto(text, plusIsSpace, out);
  return out;
}

std::string Normalise(std::string_view text, bool plusIsSpace, std::string* firstPass) {
  std::string current, next;
  if (!NeedsDecoding(text) || !NormaliseInto(text, plusIsSpace, current)) return std::string(text);
  for (int pass = 1; pass < 3 && NeedsDecoding(current); ++pass) {
    // An application reads "+" as a space once, in the text as sent; a "+" that a later pass
    // decodes is a "+".
    if (!NormaliseInto(current, false, next)) break;
    if (pass == 1 && firstPass != nullptr) *firstPass = current;
    current.swap(next);
  }
  return current;
}

std::string NormaliseUrl(std::string_view url) {
  const std::size_t query = std::min(url.find('?'), url.size());
  return Normalise(url.substr(0, query), false) + Normalise(url.substr(query), true);
}

std::vector<UrlForm> DecodeUrlForms(std::string_view url) {
  if (!NeedsDecoding(url)) return {{"raw", std::string(url)}};
  return DecodeUrlForms(url, NormaliseUrl(url));
}

std::vector<UrlForm> DecodeUrlForms(std::string_view url, std::string normalised) {
  std::vector<UrlForm> forms;
  forms.reserve(kMaxUrlForms);
  forms.push_back({"raw", std::string(url)});
  if (!NeedsDecoding(url)) return forms;
  static const char* const kPassNames[] = {"percent-decoded", "percent-decoded x2", "percent-decoded x3"};
  bool percentLeft = url.find('%') != std::string_view::npos;
  for (const char* name : kPassNames) {
    if (!percentLeft) break;
    std::string next;
    if (!PercentDecodeInto(forms.back().text, next, &percentLeft)) break;
    forms.push_back({name, std::move(next)});
  }
  for (const UrlForm& form : forms) {
    if (form.text == normalised) return forms;
  }
  forms.push_back({"normalised", std::move(normalised)});
  return forms;
}

}  // namespace vell
