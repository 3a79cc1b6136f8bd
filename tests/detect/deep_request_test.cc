#include "detect/deep_request.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "config/signatures.h"

namespace vell {
namespace {

using namespace std::string_literals;

struct RuleCase {
  std::string url;
  DeepRule rule;
  // "kind detector evidence" of the finding ("value libinjection s&1c", "path SystemFile
  // /etc/passwd"), or "" when the rule finds nothing.
  std::string finding;
};

std::string Summary(const std::optional<DeepFinding>& finding) {
  if (!finding) return "";
  static const char* const kKinds[] = {"path", "name", "value", "query"};
  return std::string(kKinds[static_cast<int>(finding->where)]) + (finding->firstPass ? " once " : " ") +
         finding->detector + " " + finding->evidence;
}

const RuleCase kRules[] = {
    // Benign requests: nothing.
    {"/index.html", DeepRule::kSQLi, ""},
    {"/search?q=hello+world&page=2", DeepRule::kSQLi, ""},
    {"/search?q=O%27Brien", DeepRule::kSQLi, ""},
    {"/files/?C=D;O=A", DeepRule::kCommand, ""},
    {"/a?x=1&id=5", DeepRule::kCommand, ""},
    // libinjection on decoded values, names and the path.
    {"/index.php?q=%27%20or%201%3D1--", DeepRule::kSQLi, "value libinjection s&1c"},
    {"/index.php?%27%20or%201%3D1--=x", DeepRule::kSQLi, "name libinjection s&1c"},
    {"/index.php/1'%20or%20'1'='1", DeepRule::kSQLi, "path libinjection s&sos"},
    {"/p?q=%3Cscript%3Ealert(1)%3C/script%3E", DeepRule::kXSS, "value libinjection xss"},
    // Own signatures, with the matched text.
    {"/p?q=waitfor%20delay%20'0:0:5'", DeepRule::kSQLi, "value SqlDelay waitfor delay"},
    {"/p?file=..%c0%af..%c0%afetc/passwd", DeepRule::kTraversal, "value DotDotSegment ../"},
    {"/static/..%5c..%5cboot.ini", DeepRule::kTraversal, "path DotDotSegment /../"},
    {"/p?q=..%%32%%66boot.ini", DeepRule::kTraversal, "value once SystemFile boot.ini"},
    {"/p?q=a;cat%20/etc/passwd", DeepRule::kCommand, "value CommandAfterSeparator ;cat "},
    {"/p?q=%0d%0aSet-Cookie:x", DeepRule::kCRLF, "value HeaderInjection \r\nSet-Cookie:"},
    // A query that is not form encoded is also one text: its "&" may be a separator.
    {"/index.php?q=&%20id", DeepRule::kCommand, "query CommandAfterSeparator & id"},
    {"/a?x&id", DeepRule::kCommand, "query CommandAfterSeparator &id"},
    {"/a?=&id", DeepRule::kCommand, "query CommandAfterSeparator &id"},
    // Plain bytes alone, but a comment; a value with "=" of its own.
    {"/p?q=1--", DeepRule::kSQLi, "value libinjection 1c"},
    {"/p?a=x/onload=1", DeepRule::kXSS, "value libinjection xss"},
    // Each rule finds only what is its own.
    {"/p?q=%27%20or%201%3D1--", DeepRule::kXSS, ""},
    {"/p?q=..%2f..%2fetc%2fpasswd", DeepRule::kSQLi, ""},
};

TEST(DeepRequest, RulesFindTheirAttacks) {
  for (const RuleCase& c : kRules) {
    SCOPED_TRACE(testing::Message() << DeepRuleName(c.rule) << " on " << c.url);
    DeepRequest request(c.url);
    EXPECT_EQ(Summary(request.Test(c.rule)), c.finding);
    // Asked again, from the kept answers: the same.
    EXPECT_EQ(Summary(request.Test(c.rule)), c.finding);
  }
}

// The work per request is bounded, and what falls outside a bound is still read by the own
// signatures: the arguments past the limit as one text, a value past libinjection's window.
TEST(DeepRequest, BoundsLeaveTheRestToTheOwnSignatures) {
  std::string manyArguments = "/p?";
  for (std::size_t i = 0; i < kMaxArguments + 5; ++i) {
    manyArguments += 'a';
    manyArguments += std::to_string(i);
    manyArguments += "=1&";
  }
  manyArguments += "cmd=x;cat%20/etc/passwd";
  DeepRequest many(manyArguments);
  EXPECT_EQ(many.arguments().size(), kMaxArguments);
  EXPECT_EQ(Summary(many.Test(DeepRule::kCommand)), "query CommandAfterSeparator ;cat ");
  // The text past the limit joins names and values that each hold nothing.
  const std::string manyPlain = manyArguments.substr(0, manyArguments.rfind('&') + 1) + "x/onload=1";
  DeepRequest plain(manyPlain);
  EXPECT_EQ(Summary(plain.Test(DeepRule::kXSS)), "query EventHandler /onload=");

  const std::string padded = "/p?q=" + std::string(kInjectionWindow, 'a') + "'%20or%201=1--";
  DeepRequest request(padded);
  EXPECT_EQ(Summary(request.Test(DeepRule::kSQLi)), "value SqlTautology ' or 1=");
  // Suspicious text that spends libinjection's budget first: what comes after is read by the own
  // signatures only.
  const std::string payload = "q=1%27%20or%20%271%27=%271";
  const std::string payloadAlone = "/p?" + payload;
  DeepRequest alone(payloadAlone);
  EXPECT_EQ(Summary(alone.Test(DeepRule::kSQLi)), "value libinjection s&sos");
  const std::string payloadAfterJunk = "/p?junk=" + std::string(kInjectionWindow, '(') + "&" + payload;
  DeepRequest afterJunk(payloadAfterJunk);
  EXPECT_EQ(Summary(afterJunk.Test(DeepRule::kSQLi)), "value SqlTautology ' or '1'=");
}

// Any bytes: every rule answers, and a finding's evidence lies within its text.
TEST(DeepRequest, AnyBytes) {
  const std::string alphabet = "%%%uU+\\/.?&=;|'\"<>`$()c0afe2ABCz \r\n\xC0\xAF\xE0\x80\x00"s;
  std::mt19937 random(3);
  for (int round = 0; round < 2000; ++round) {
    std::string url = "/";
    const std::size_t length = random() % 200;
    for (std::size_t i = 0; i < length; ++i) url += alphabet[random() % alphabet.size()];
    SCOPED_TRACE(url);
    DeepRequest request(url);
    for (std::size_t r = 0; r < kDeepRuleCount; ++r) {
      if (const std::optional<DeepFinding> finding = request.Test(static_cast<DeepRule>(r))) {
        EXPECT_LE(finding->begin, finding->end);
        EXPECT_LE(finding->end, finding->text.size());
        EXPECT_FALSE(finding->Describe().empty());
      }
    }
  }
}

// Most URLs are answered from one look at them (letters, digits and "_-./" between "?", "&" and
// "="): on generated URLs near that shape, the answer with every detector is found exactly when
// libinjection or the own signatures, each asked on its own, find something.
TEST(DeepRequest, PlainUrlsAnswerAsTheirDetectors) {
  const char* const kPieces[] = {"a", "Z", "1", "_", "-", ".", "/", "etc", "passwd", "/etc/", "cmd", "uname",
                                 "..", "bin/", "id", "order", " by ", "document", "--", "access.log",
                                 // Rarer: bytes that make a URL other than plain.
                                 "%20", "+", "'", "<", ";", ":", "x-y", "?", "&", "="};
  std::mt19937 random(5);
  auto text = [&] {
    std::string out;
    for (std::size_t n = random() % 4; n > 0; --n) out += kPieces[random() % (random() % 3 == 0 ? 30 : 20)];
    return out;
  };
  for (int round = 0; round < 4000; ++round) {
    std::string url = "/" + text();
    if (random() % 4 != 0) {
      url += '?';
      for (std::size_t n = random() % 4; n > 0; --n) url += text() + (random() % 8 == 0 ? "" : "=") + text() + "&";
    }
    SCOPED_TRACE(url);
    for (std::size_t r = 0; r < kDeepRuleCount; ++r) {
      const auto rule = static_cast<DeepRule>(r);
      DeepRequest all(url), libinjection(url), signatures(url);
      EXPECT_EQ(all.Test(rule).has_value(), libinjection.Test(rule, DeepDetectors::kLibinjection).has_value() ||
                                                 signatures.Test(rule, DeepDetectors::kSignatures).has_value())
          << DeepRuleName(rule);
    }
  }
}

TEST(DeepRequest, FindingSaysWhereAndWhat) {
  DeepRequest request("/p?a=1&user=%27%20or%201%3D1--");
  const std::optional<DeepFinding> finding = request.Test(DeepRule::kSQLi);
  ASSERT_TRUE(finding.has_value());
  EXPECT_EQ(finding->argument, 1u);
  EXPECT_EQ(finding->argumentName, "user");
  EXPECT_EQ(finding->text, "' or 1=1--");
  EXPECT_EQ(finding->Describe(),
            "DeepSQLi: argument \"user\" value \"' or 1=1--\": libinjection fingerprint \"s&1c\"");

  DeepRequest path("/x/..%2f..%2fetc%2fpasswd%0a");
  const std::optional<DeepFinding> traversal = path.Test(DeepRule::kTraversal);
  ASSERT_TRUE(traversal.has_value());
  EXPECT_EQ(traversal->Describe(),
            "DeepTraversal: path \"/x/../../etc/passwd\\x0A\": DotDotSegment \"/../\"");
  EXPECT_EQ(traversal->text.substr(traversal->begin, traversal->end - traversal->begin), "/../");

  const std::string longUrl = "/p?q=" + std::string(300, 'a') + "%27%20or%201%3D1--";
  DeepRequest cut(longUrl);
  const std::string described = cut.Test(DeepRule::kSQLi)->Describe();
  EXPECT_NE(described.find(std::string(200, 'a') + "...\""), std::string::npos) << described;
}

TEST(DeepRequest, DecodesOnlyWhatIsThere) {
  DeepRequest plain("/images/logo.png");
  EXPECT_EQ(plain.forms().size(), 1u);
  EXPECT_TRUE(plain.arguments().empty());
  EXPECT_EQ(plain.path(), "/images/logo.png");
  DeepRequest query("/a%2fb?x=%41&y");
  EXPECT_EQ(query.path(), "/a/b");
  ASSERT_EQ(query.arguments().size(), 2u);
  EXPECT_EQ(query.arguments()[0].value, "A");
  EXPECT_EQ(query.queryText(), "x=A&y");
}

// The catalogue's signatures meet the decoded forms, so that an encoding hides nothing from them.
TEST(DeepRequest, CatalogueSignaturesMeetTheDecodedForms) {
  std::vector<CompiledPatternPtr> patterns;
  for (const BuiltInSignature& signature : SignatureCatalogue) {
    patterns.push_back(std::make_shared<const CompiledPattern>(signature.pattern));
  }
  const PatternSet set(patterns);
  const std::size_t traversal = 10;
  ASSERT_STREQ(SignatureCatalogue[traversal].name, "DirectoryTraversal");

  DeepRequest request("/a%c0%af..%c0%afetc/passwd");
  EXPECT_FALSE(set.ScanSubject(request.url()).Found(traversal));
  const std::optional<FormMatch> match = request.FindInForms(set, traversal);
  ASSERT_TRUE(match.has_value());
  EXPECT_STREQ(request.forms()[match->form].name, "normalised");
  // Another signature, asked after: the scans are reused and answer for it too.
  EXPECT_FALSE(request.FindInForms(set, 0).has_value());

  DeepRequest plain("/a/b.html");
  EXPECT_FALSE(plain.FindInForms(set, traversal).has_value());
  // The raw URL is not a decoded form: what it holds is the URL rules' own answer.
  DeepRequest raw("/a/../b");
  EXPECT_FALSE(raw.FindInForms(set, traversal).has_value());
}

}  // namespace
}  // namespace vell
