#include "detect/deep_signatures.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace vell {
namespace {

std::size_t SignatureIndex(const std::string& name) {
  for (std::size_t i = 0; i < DeepSignatures.size(); ++i) {
    if (name == DeepSignatures[i].name) return i;
  }
  ADD_FAILURE() << "no signature " << name;
  return 0;
}

struct SignatureCase {
  const char* signature;
  std::string text;  // decoded, as the deep layer hands it over
  bool isValue;      // an argument's value (or else a path, a name, a query)
  bool found;
};

const SignatureCase kSignatures[] = {
    // DotDotSegment
    {"DotDotSegment", "../../etc/x", true, true},
    {"DotDotSegment", "/static/..;/admin", false, true},
    {"DotDotSegment", "/a/..", false, true},
    {"DotDotSegment", "....//....//x", true, true},
    {"DotDotSegment", "wait...", true, false},
    {"DotDotSegment", "/a/.../b", false, false},
    {"DotDotSegment", "/file..txt", false, false},
    // SystemFile: in any spelling of the separators, anywhere.
    {"SystemFile", "/etc/passwd", false, true},
    {"SystemFile", "..0x2f..0x2fetc0x2fpasswd", true, true},
    {"SystemFile", "..%2%fetc%2%fshadow", true, true},
    {"SystemFile", "c:/boot.ini", true, true},
    {"SystemFile", "windowsosystem32odrivers", true, true},
    {"SystemFile", "/proc/self/environ", true, true},
    {"SystemFile", "/var/log/apache2/access.log", false, true},
    {"SystemFile", "/.htpasswd", false, true},
    {"SystemFile", "fetch issues", true, false},
    {"SystemFile", "/etcetera/passwords", false, false},
    {"SystemFile", "/blog/windows-tips", false, false},
    // SystemPathValue: only a value, only at its start.
    {"SystemPathValue", "/etc/hosts", true, true},
    {"SystemPathValue", "C:/Windows/win.ini", true, true},
    {"SystemPathValue", "/etc/hosts", false, false},
    {"SystemPathValue", "see /etc/hosts", true, false},
    {"SystemPathValue", "/etcetera", true, false},
    {"SystemPathValue", "http://x/", true, false},
    // FileUri
    {"FileUri", "file:///etc/passwd", true, true},
    {"FileUri", "php://filter/resource=x", true, true},
    {"FileUri", "see file:///x", true, false},
    {"FileUri", "/misc/\"file://$file/\"", false, false},
    // ScriptUri
    {"ScriptUri", "javascript:alert(1)", true, true},
    {"ScriptUri", "x\" href=vbscript :msgbox", true, true},
    {"ScriptUri", "data:text/html,<script>", true, true},
    {"ScriptUri", "data:image/svg+xml;base64,PHN2", true, true},
    {"ScriptUri", "the javascript book", true, false},
    // EventHandler
    {"EventHandler", "<svg/onload=alert(1)>", true, true},
    {"EventHandler", "' onfocus = x", true, true},
    {"EventHandler", "online=1", true, false},
    {"EventHandler", "/page?onsale=1", true, false},
    // ScriptCall
    {"ScriptCall", "'-alert(1)-'", true, true},
    {"ScriptCall", "prompt`1`", true, true},
    {"ScriptCall", "document.cookie", true, true},
    {"ScriptCall", "red alert", true, false},
    // SqlOrderBy
    {"SqlOrderBy", "1 ORDER BY 3--", true, true},
    {"SqlOrderBy", "1 order/**/by/**/1", true, true},
    {"SqlOrderBy", "in order by monday", true, false},
    // SqlDelay
    {"SqlDelay", "1 and sleep(5)", true, true},
    {"SqlDelay", "'; WAITFOR DELAY '0:0:5'--", true, true},
    {"SqlDelay", "benchmark results", true, false},
    // SqlTautology
    {"SqlTautology", "x or x=x--", true, true},
    {"SqlTautology", "admin' OR 'a'='a", true, true},
    {"SqlTautology", "1) and 1=1", true, true},
    {"SqlTautology", "this or that", true, false},
    {"SqlTautology", "Y'ALL COME BACK", true, false},
    {"SqlTautology", "80% ACRYLIC AND 20% WOOL", true, false},
    // SqlFunction
    {"SqlFunction", "1 and extractvalue(1,concat(0x7e,version()))", true, true},
    {"SqlFunction", "select * from information_schema.tables", true, true},
    {"SqlFunction", "utl_inaddr.get_host_address(x)", true, true},
    {"SqlFunction", "information schema", true, false},
    // CommandAfterSeparator
    {"CommandAfterSeparator", "; cat /etc/passwd", true, true},
    {"CommandAfterSeparator", "a|id", true, true},
    {"CommandAfterSeparator", "`whoami`", true, true},
    {"CommandAfterSeparator", "$(uname -a)", true, true},
    {"CommandAfterSeparator", "x\nls -la", true, true},
    {"CommandAfterSeparator", "&& /bin/sh", true, true},
    {"CommandAfterSeparator", "q=1&id=5", false, false},
    {"CommandAfterSeparator", "Tom & Jerry", true, false},
    {"CommandAfterSeparator", "salt & more", true, false},
    {"CommandAfterSeparator", "a;identity", true, false},
    // CommandLineValue: only a whole value.
    {"CommandLineValue", "uname -a", true, true},
    {"CommandLineValue", "ls -la /etc", true, true},
    {"CommandLineValue", "dir c:/", true, true},
    {"CommandLineValue", "wget http://x/y", true, true},
    {"CommandLineValue", "perl -e 'print 1'", true, true},
    {"CommandLineValue", "net user x /add", true, true},
    {"CommandLineValue", "uname -a", false, false},
    {"CommandLineValue", "ls", true, false},
    {"CommandLineValue", "the ls command", true, false},
    // ShellExpansion
    {"ShellExpansion", "cat${IFS}/etc/passwd", true, true},
    {"ShellExpansion", "a$(id)", true, true},
    {"ShellExpansion", "${linkto}", true, false},
    {"ShellExpansion", "costs $(5)", true, false},
    // CommandPath
    {"CommandPath", "/n/bin/ls -al", true, true},
    {"CommandPath", "x /usr/bin/id", true, true},
    {"CommandPath", "cmd.exe /c dir", true, true},
    {"CommandPath", "/cgi-bin/search", false, false},
    {"CommandPath", "/bin/setup.exe", false, false},
    // CodeExecution
    {"CodeExecution", "<?php system('id'); ?>", true, true},
    {"CodeExecution", "system(\"ls\")", true, true},
    {"CodeExecution", "phpinfo()", true, true},
    {"CodeExecution", "<!--#exec cmd=\"ls\" -->", true, true},
    {"CodeExecution", "<!--#echo var=\"DATE_LOCAL\" -->", true, true},
    {"CodeExecution", "<esi:include src=\"http://x/\"/>", true, true},
    {"CodeExecution", "<!-- a comment -->", true, false},
    {"CodeExecution", "the system (new)", true, false},
    // HeaderInjection
    {"HeaderInjection", "x\r\nSet-Cookie: a=b", true, true},
    {"HeaderInjection", "/\nLocation: http://x", false, true},
    {"HeaderInjection", "line one\nline two", true, false},
};

TEST(DeepSignatures, Table) {
  const DeepSignatureMatcher& matcher = BuiltInDeepSignatures();
  for (const SignatureCase& c : kSignatures) {
    SCOPED_TRACE(testing::Message() << c.signature << " on \"" << c.text << "\"");
    const std::size_t index = SignatureIndex(c.signature);
    EXPECT_EQ(((matcher.Match(c.text, c.isValue) >> index) & 1u) != 0, c.found);
    if (c.found) {
      const auto span = matcher.Find(index, c.text);
      ASSERT_TRUE(span.has_value());
      EXPECT_LT(span->begin, span->end);
      EXPECT_LE(span->end, c.text.size());
    }
  }
}

TEST(DeepSignatures, EachBelongsToOneNamedRule) {
  const DeepSignatureMatcher& matcher = BuiltInDeepSignatures();
  SignatureMask all = 0;
  for (std::size_t r = 0; r < kDeepRuleCount; ++r) {
    const auto rule = static_cast<DeepRule>(r);
    EXPECT_EQ(FindDeepRule(DeepRuleName(rule)), rule);
    EXPECT_NE(matcher.RuleMask(rule), 0u) << DeepRuleName(rule);
    EXPECT_EQ(all & matcher.RuleMask(rule), 0u);
    all |= matcher.RuleMask(rule);
  }
  EXPECT_EQ(all, (SignatureMask{1} << DeepSignatures.size()) - 1);
  for (const DeepSignature& signature : DeepSignatures) ASSERT_NE(signature.name, nullptr);
  EXPECT_FALSE(FindDeepRule("deepsqli").has_value());
  EXPECT_FALSE(FindDeepRule("DeepSQL").has_value());
}

// A long text costs one linear pass, also when the set's automaton would need more memory than it
// has: the answer is the same as for each pattern on its own.
TEST(DeepSignatures, LongTextsAnswerAsShortOnes) {
  const DeepSignatureMatcher& matcher = BuiltInDeepSignatures();
  std::string text;
  for (int i = 0; i < 4000; ++i) text += "a;&|`$(<'\"x/..%\n";
  text += "/etc/passwd";
  EXPECT_NE(matcher.Match(text, true) & (SignatureMask{1} << SignatureIndex("SystemFile")), 0u);
}

// What Match must answer: each signature's own pattern, which no quick check precedes.
SignatureMask EachOnItsOwn(const DeepSignatureMatcher& matcher, std::string_view text, bool isValue) {
  SignatureMask found = 0;
  for (std::size_t i = 0; i < DeepSignatures.size(); ++i) {
    if (!isValue && DeepSignatures[i].scope == SignatureScope::kValue) continue;
    if (matcher.Find(i, text)) found |= SignatureMask{1} << i;
  }
  return found;
}

// Texts of plain bytes that some signature matches, one or more per branch of each pattern that
// plain bytes can spell; the generated texts below are built around them.
const char* const kPlainMatches[] = {
    "../x", "/a/..", "....//", "etc/passwd", "etc-shadow", "etcAhosts", "/etc/nginx/", "/proc/self/",
    "/proc/12/", "boot.ini", "win.ini", "system.ini", "system32", "global.asa", "/inetpub/",
    "/windows/repair", "/winnt//debug", "/var/log/", "access.log", "error_log", "/.htaccess", "/.htpasswd",
    "/.bash_history", "/.ssh/", "id_rsa", "id_dsa", "web.config", "autoexec.bat", "/etc", "  //usr/x",
    "/bin", "document.cookie", "document . write", "order by 1", "group  by 2", "waitfor delay",
    "waitfor time", "or a like b --", "and 1 like 1--", "information_schema", "uname", " whoami",
    "ipconfig", "ifconfig", "netstat", "systeminfo", "tasklist", "phpinfo", "ls /etc", "ls -la /",
    "dir /", "cat /x", "type /x", "perl -e", "python3 -c", "ruby -e", "php -e", "node -e",
    "powershell -c", "net user", "net view", "netsh x", "reg add x", "reg query x", "/bin/sh",
    "/usr/bin/id", "/usr/local/bin/python", "/sbin/ifconfig", "cmd /c", "cmd.exe /k",
};

// The matcher answers a plain text without a pattern run when it holds none of the signatures'
// plain texts: that must never hide a match. Every generated text (the matches above with plain
// bytes around and inside them, letter case changed, or cut) gets the same answer as each pattern
// on its own.
TEST(DeepSignatures, PlainTextCheckHidesNoMatch) {
  const DeepSignatureMatcher& matcher = BuiltInDeepSignatures();
  const std::string plainBytes = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-./ \x80\xc3\xa9\xff";
  std::mt19937 random(20261211);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  auto noise = [&] {
    std::string out;
    for (std::size_t n = pick(4); n > 0; --n) out += plainBytes[pick(plainBytes.size())];
    return out;
  };
  std::size_t matched = 0;
  for (int round = 0; round < 40; ++round) {
    for (const char* seed : kPlainMatches) {
      std::string text = seed;
      if (round > 0) {
        for (char& c : text) {
          if (pick(4) == 0) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        switch (pick(4)) {
          case 0: text = noise() + text + noise(); break;
          case 1: text.insert(pick(text.size() + 1), noise()); break;
          case 2: text = text.substr(pick(text.size())); break;
          default: text = std::string(kPlainMatches[pick(std::size(kPlainMatches))]) + noise() + text; break;
        }
      }
      for (const char c : text) ASSERT_TRUE(IsPlainTextByte(static_cast<unsigned char>(c))) << text;
      for (const bool isValue : {false, true}) {
        SCOPED_TRACE(testing::Message() << '"' << text << "\" as " << (isValue ? "value" : "other text"));
        const SignatureMask expected = EachOnItsOwn(matcher, text, isValue);
        EXPECT_EQ(matcher.Match(text, isValue), expected);
        if (expected != 0) ++matched;
      }
    }
  }
  // Every seed matches as it stands (round 0), and many variants still do.
  EXPECT_GE(matched, 2 * std::size(kPlainMatches));
}

// The quick check answers "no" for the plain texts that most requests carry, and lets through any
// text with another byte or one of the signatures' plain texts.
TEST(DeepSignatures, PlainTextCheck) {
  struct Case {
    std::string text;
    bool isValue;
    bool mayMatch;
  };
  const Case kCases[] = {
      // Plain texts without any signature's words: no pattern run.
      {"/products/catalog.html", false, false},
      {"spring-sale", true, false},
      {"red shoes", true, false},
      {"caf\xc3\xa9", true, false},
      {"a_b-c.d/e", true, false},
      {"", true, false},
      // A signature's plain words, anywhere or (values) at the start.
      {"/img/etc.png", false, true},
      {"/files/.htaccess", false, true},
      {"Order By", true, true},
      {"/files/.HTACCESS", false, true},
      {"  /home", true, true},
      {"  /home", false, false},
      {"cat /x", true, true},
      {"x cat /", true, false},
      // Words that only make a match together with what follows them.
      {"order-history", true, false},
      {"category", true, false},
      {"/index.html", false, false},
      // Any other byte.
      {"a=b", true, true},
      {"x:y", false, true},
      {"it's", true, true},
      {"a\tb", true, true},
      {std::string("a\0b", 3), true, true},
  };
  const DeepSignatureMatcher& matcher = BuiltInDeepSignatures();
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << '"' << c.text << '"');
    EXPECT_EQ(matcher.MayMatch(c.text, c.isValue), c.mayMatch);
  }
}

}  // namespace
}  // namespace vell
