#include "detect/url_forms.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace vell {
namespace {

using namespace std::string_literals;

struct DecodeCase {
  std::string input;
  std::string output;
};

// Every byte at every place of a text longer than the eight bytes read at a time.
TEST(NeedsDecoding, EachByteAnywhere) {
  for (int b = 0; b < 256; ++b) {
    const bool expected = b == '%' || b == '+' || b == '\\' || b == 0 || b >= 0xC0;
    for (std::size_t at = 0; at < 19; ++at) {
      std::string text(19, 'a');
      text[at] = static_cast<char>(b);
      ASSERT_EQ(NeedsDecoding(text), expected) << "byte " << b << " at " << at;
    }
  }
  EXPECT_FALSE(NeedsDecoding(""));
}

const DecodeCase kPercentDecode[] = {
    {"/a%20b", "/a b"},
    {"%2e%2E%2f", "../"},
    // Only two hex digits make an escape; anything else stays.
    {"100%", "100%"},
    {"%2", "%2"},
    {"%zz%g1", "%zz%g1"},
    {"%u002e", "%u002e"},
    // One pass: what it produces is not decoded again.
    {"%252e", "%2e"},
    {"%%32%66", "%2f"},
    {"a+b\\c", "a+b\\c"},
    {std::string("%00x", 4), std::string("\0x", 2)},
};

TEST(PercentDecode, Table) {
  for (const DecodeCase& c : kPercentDecode) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(PercentDecode(c.input), c.output);
  }
}

// One row group per step of the lenient pass (query text: "+" is a space).
const DecodeCase kNormaliseOnce[] = {
    // Percent escapes and the lax hex that counts letters on past "f".
    {"%2e%2e%2f", "../"},
    {"%bg%qf", "/"},  // 0xC0 0xAF, an overlong "/"
    {"%zz", "S"},  // "z" counts 35: 35 * 16 + 35 is 0x253, cut to a byte
    {"%g", "%g"},
    {"%-1", "%-1"},
    // %u escapes: ASCII, full-width, look-alike slashes, backslashes and dots, anything else UTF-8.
    {"%u002e%u002E%u2215", "../"},
    {"%uff0e%uFF0E%uFF0F", "../"},
    {"%u2216%u2044%u2024%u2025", "//..."},
    {"%uEFC8%uF025", "//"},
    {"%u00e9", "\xC3\xA9"},
    {"%u4e2d", "\xE4\xB8\xAD"},
    {"%u12", "%u12"},
    {"%u12zz", "%u12zz"},  // not four hex digits, and no lax hex escape either
    // "+" as a space.
    {"a+b", "a b"},
    // Overlong UTF-8 forms of ASCII, decoded from escapes or sent as bytes.
    {"%c0%af%c0%ae", "/."},
    {"%c0%6e", "."},  // the lax second byte that some decoders take
    {"%c1%9c", "/"},  // 0x5C, a backslash, then folded to "/"
    {"%e0%80%af", "/"},
    {"%f0%80%80%af", "/"},
    {"%fc%80%80%80%80%ae", "."},
    {"\xC0\xAF", "/"},
    // Real UTF-8 and incomplete sequences stay as they are.
    {"%c3%a9", "\xC3\xA9"},
    {"%e0%80", "\xE0\x80"},
    {"%e0%80A", "\xE0\x80" "A"},
    {"%e0%a0%80", "\xE0\xA0\x80"},
    {"%c0", "\xC0"},
    // Backslashes become slashes; NUL bytes go.
    {"..\\..\\", "../../"},
    {"a%00b", "ab"},
    {std::string("a\0b", 3), "ab"},
    {"%u0000x", "x"},
    // ... after the overlong sequences are folded: the byte after a lead is taken as it stands.
    {"\\%c0%af\\", "///"},
    {"a%00%c0%ae%00b", "a.b"},
    {"%u005c%c0\\", "/\x1C"},
    {"%c0%00", ""},
};

TEST(NormaliseOnce, Table) {
  for (const DecodeCase& c : kNormaliseOnce) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(NormaliseOnce(c.input, true), c.output);
  }
  EXPECT_EQ(NormaliseOnce("a+b", false), "a+b");
}

// The lenient pass as literally as it reads, for the few code points of kReferenceAlphabet: the
// escapes first, then overlong sequences folded, NUL removed, "\" as "/".
std::string ReferenceNormaliseOnce(const std::string& text, bool plusIsSpace) {
  auto hex = [](char c, int letters) {
    const int lower = c | 0x20;
    if (c >= '0' && c <= '9') return c - '0';
    return lower >= 'a' && lower < 'a' + letters ? lower - 'a' + 10 : -1;
  };
  std::string escaped;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::string next4 = i + 6 <= text.size() ? text.substr(i + 2, 4) : "";
    if (text.compare(i, 2, "%u") == 0 || text.compare(i, 2, "%U") == 0) {
      const std::map<std::string, std::string> kCodePoints = {
          {"0041", "A"}, {"005c", "\\"}, {"0000", std::string(1, '\0')}, {"00e9", "\xC3\xA9"},
          {"2215", "/"}, {"ff0e", "."}};
      if (const auto found = kCodePoints.find(next4); found != kCodePoints.end()) {
        escaped += found->second;
        i += 5;
        continue;
      }
    } else if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1], 26) >= 0 && hex(text[i + 2], 26) >= 0) {
      escaped += static_cast<char>((hex(text[i + 1], 26) * 16 + hex(text[i + 2], 26)) & 0xFF);
      i += 2;
      continue;
    }
    escaped += text[i] == '+' && plusIsSpace ? ' ' : text[i];
  }
  std::string out;
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    const auto lead = static_cast<unsigned char>(escaped[i]);
    const std::size_t length = lead == 0xC0 || lead == 0xC1 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3 : lead >= 0xF0 && lead < 0xF8 ? 4 : 0;
    char c = escaped[i];
    if (length != 0 && i + length <= escaped.size()) {
      uint32_t cp = lead & (0x7Fu >> length);
      bool continuation = true;
      for (std::size_t k = 1; k < length; ++k) {
        const auto b = static_cast<unsigned char>(escaped[i + k]);
        continuation = continuation && (length == 2 || (b & 0xC0) == 0x80);
        cp = cp << 6 | (b & 0x3Fu);
      }
      if (continuation && cp < 0x80) {
        c = static_cast<char>(cp);
        i += length - 1;
      }
    }
    if (c != '\0') out += c == '\\' ? '/' : c;
  }
  return out;
}

std::string ReferencePercentDecode(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The passes read runs of bytes that need no decoding eight at a time: on long generated texts of
// runs and escapes they agree with the references.
TEST(NormaliseOnce, AgreesWithTheReferenceOnLongTexts) {
  const char* const kReferenceAlphabet[] = {
      "abcdefgh", "x", "/", ".", "%2e", "%5c", "%25", "%41", "%bg", "%qf", "%zz", "%g", "%", "%c0", "%af",
      "%e0%80%af", "%00", "+", "\\", "%u0041", "%U005c", "%u0000", "%u00e9", "%u2215", "%uff0e", "%u12%g",
      "\xC0", "\xAF", "\xE9", std::string("\0", 1).c_str()};
  std::mt19937 random(17);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    for (std::size_t n = random() % 40; n > 0; --n) {
      const std::size_t pick = random() % std::size(kReferenceAlphabet);
      text += pick + 1 == std::size(kReferenceAlphabet) ? std::string(1, '\0') : kReferenceAlphabet[pick];
    }
    SCOPED_TRACE(testing::PrintToString(text));
    EXPECT_EQ(NormaliseOnce(text, true), ReferenceNormaliseOnce(text, true));
    EXPECT_EQ(NormaliseOnce(text, false), ReferenceNormaliseOnce(text, false));
    EXPECT_EQ(PercentDecode(text), ReferencePercentDecode(text));
  }
}

struct NormaliseCase {
  std::string input;
  std::string output;
  std::string firstPass;  // empty when one pass was all it took
};

const NormaliseCase kNormalise[] = {
    {"/plain/path", "/plain/path", ""},
    {"%2e%2e%2f", "../", ""},
    {"%252e%252e%252f", "../", "%2e%2e%2f"},
    // Three passes at most.
    {"%25252e", ".", "%252e"},
    {"%2525252e", "%2e", "%25252e"},
    // The first pass is kept because the later ones destroy what it spelled.
    {"..%%32%%66boot.ini", "..%2\xFBoot.ini", "..%2%fboot.ini"},
};

TEST(Normalise, RepeatsUntilStableAtMostThreeTimes) {
  for (const NormaliseCase& c : kNormalise) {
    SCOPED_TRACE(c.input);
    std::string firstPass;
    EXPECT_EQ(Normalise(c.input, false, &firstPass), c.output);
    EXPECT_EQ(firstPass, c.firstPass);
  }
}

struct FormsCase {
  std::string url;
  std::vector<std::string> forms;  // "name=text", the raw URL first
};

const FormsCase kForms[] = {
    // Nothing to decode: one form.
    {"/index.html?a=1&b=two", {"raw=/index.html?a=1&b=two"}},
    {"/a/../b", {"raw=/a/../b"}},
    // The normalised form is left out when a percent-decoded form already equals it.
    {"/a%20b", {"raw=/a%20b", "percent-decoded=/a b"}},
    // "+" is a space in the query only.
    {"/a+b?q=c+d", {"raw=/a+b?q=c+d", "normalised=/a+b?q=c d"}},
    {"/%252e%252e/%c0%afetc/passwd",
     {"raw=/%252e%252e/%c0%afetc/passwd", "percent-decoded=/%2e%2e/\xC0\xAF" "etc/passwd",
      "percent-decoded x2=/../\xC0\xAF" "etc/passwd", "normalised=/..//etc/passwd"}},
    {"/..%c0%af..%c0%afetc/passwd",
     {"raw=/..%c0%af..%c0%afetc/passwd", "percent-decoded=/..\xC0\xAF..\xC0\xAF" "etc/passwd",
      "normalised=/../../etc/passwd"}},
    {"/a\\b", {"raw=/a\\b", "normalised=/a/b"}},
    // A "?" that decoding makes does not start the query.
    {"/a%3fb+c", {"raw=/a%3fb+c", "percent-decoded=/a?b+c"}},
    // Three strict passes at most.
    {"/%2525252e",
     {"raw=/%2525252e", "percent-decoded=/%25252e", "percent-decoded x2=/%252e",
      "percent-decoded x3=/%2e"}},
};

TEST(DecodeUrlForms, Table) {
  for (const FormsCase& c : kForms) {
    SCOPED_TRACE(c.url);
    std::vector<std::string> forms;
    for (const UrlForm& form : DecodeUrlForms(c.url)) {
      forms.push_back(std::string(form.name) + "=" + form.text);
    }
    EXPECT_EQ(forms, c.forms);
  }
}

// On any bytes: at most kMaxUrlForms distinct forms, none longer than the URL, and the decoding
// steps never lengthen their input.
TEST(DecodeUrlForms, BoundedOnGeneratedInputs) {
  const std::string alphabet = "%%%uU+\\/.0123456789abcdefgqzACF\xC0\xC1\xE0\xF0\xFC\x80\xAF\x00?&="s;
  std::mt19937 random(12);
  for (int round = 0; round < 3000; ++round) {
    std::string url;
    const std::size_t length = random() % 40;
    for (std::size_t i = 0; i < length; ++i) url += alphabet[random() % alphabet.size()];
    SCOPED_TRACE(url);
    const std::vector<UrlForm> forms = DecodeUrlForms(url);
    ASSERT_GE(forms.size(), 1u);
    ASSERT_LE(forms.size(), kMaxUrlForms);
    EXPECT_EQ(forms[0].text, url);
    for (std::size_t i = 0; i < forms.size(); ++i) {
      EXPECT_LE(forms[i].text.size(), url.size());
      for (std::size_t j = 0; j < i; ++j) EXPECT_NE(forms[i].text, forms[j].text);
    }
    EXPECT_LE(NormaliseOnce(url, true).size(), url.size());
    if (!NeedsDecoding(url)) {
      EXPECT_EQ(forms.size(), 1u);
    }
  }
}

// Normalise and DecodeUrlForms stop on what each pass reports instead of comparing texts: on any
// bytes they agree with their single steps repeated and compared, the way they read.
TEST(DecodeUrlForms, AgreeWithTheirStepsRepeated) {
  const std::string alphabet = "%%%%uU+\\/.25cef0aAFgq\xC0\xC1\xE0\xF0\x80\xAF\x00?&"s;
  std::mt19937 random(13);
  for (int round = 0; round < 3000; ++round) {
    std::string url;
    const std::size_t length = random() % 30;
    for (std::size_t i = 0; i < length; ++i) url += alphabet[random() % alphabet.size()];
    SCOPED_TRACE(url);
    for (const bool plusIsSpace : {false, true}) {
      std::string expected = url, expectedFirstPass;
      for (int pass = 0; pass < 3; ++pass) {
        const std::string next = NormaliseOnce(expected, plusIsSpace && pass == 0);
        if (next == expected) break;
        if (pass == 1) expectedFirstPass = expected;
        expected = next;
      }
      std::string firstPass;
      EXPECT_EQ(Normalise(url, plusIsSpace, &firstPass), expected);
      EXPECT_EQ(firstPass, expectedFirstPass);
    }
    std::vector<std::string> expected = {url};
    while (expected.size() < 4 && NeedsDecoding(url)) {
      std::string next = PercentDecode(expected.back());
      if (next == expected.back()) break;
      expected.push_back(std::move(next));
    }
    const std::string normalised = NormaliseUrl(url);
    if (NeedsDecoding(url) && std::find(expected.begin(), expected.end(), normalised) == expected.end()) {
      expected.push_back(normalised);
    }
    std::vector<std::string> forms;
    for (const UrlForm& form : DecodeUrlForms(url)) forms.push_back(form.text);
    EXPECT_EQ(forms, expected);
  }
}

}  // namespace
}  // namespace vell
