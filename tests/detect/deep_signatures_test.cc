#include "detect/deep_signatures.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace vell
