// Deep inspection of one request's URL: the deep rules (DeepSQLi, DeepXSS, DeepTraversal,
// DeepCommand, DeepCRLF) on the decoded path and every decoded argument name and value, and the
// URL rules' patterns on the URL's decoded forms. Everything is worked out on first need and kept
// for the next rule: a request that no deep rule and no catalogue signature asks about costs
// nothing, a URL that needs no decoding has one form, a URL without a query has no arguments, and
// a value made only of harmless bytes is never handed to libinjection.
//
// A DeepRequest belongs to the thread that serves the request; the URL it views must outlive it.
#ifndef VELL_DETECT_DEEP_REQUEST_H_
#define VELL_DETECT_DEEP_REQUEST_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "detect/arguments.h"
#include "detect/deep_signatures.h"
#include "detect/url_forms.h"
#include "pattern/pattern_set.h"

namespace vell {

// The decoded texts that deep rules test. The query is one more text when it is not form encoded
// (all of it) or has more than kMaxArguments arguments (the pieces past them), for the own
// signatures only.
enum class DeepSubjectKind : uint8_t { kPath, kArgumentName, kArgumentValue, kQuery };

// What a deep rule found: where, in which decoded text, by which detector, and the evidence.
struct DeepFinding {
  DeepRule rule;
  DeepSubjectKind where;
  std::size_t argument = 0;  // index into DeepRequest::arguments() for an argument's name or value
  std::string argumentName;  // decoded; empty for the path
  std::string text;          // the decoded text that matched
  // text is the first decoding pass of a path or value encoded more than once, not its final form.
  bool firstPass = false;
  // "libinjection" or the name of one of DeepSignatures ("SqlDelay", ...).
  std::string detector;
  // The SQL fingerprint for libinjection's SQL detector, otherwise the matched part of text.
  std::string evidence;
  std::size_t begin = 0, end = 0;  // the evidence's place in text (all of text for libinjection)

  // One line for logs and explain: `DeepSQLi: argument "q" value "' or 1=1--": libinjection
  // fingerprint "s&1c"`. The decoded text is cut to 200 bytes, bytes outside printable ASCII
  // written as \xHH.
  std::string Describe() const;
};

// libinjection costs up to some 50 ns per byte on hostile text (InjectionPrefixWithin), so it
// reads the first kInjectionWindow bytes of each text, and each of its two detectors reads at most
// kInjectionBudget units per request, a text that would go over cut where a token begins; the own
// signatures, linear, read everything. Its SQL detector decides on a value's first few tokens
// anyway, and a single payload of the measured corpora fits both bounds; a payload padded past the
// window, or sent after more than the budget of suspicious text, is left to the own signatures.
inline constexpr std::size_t kInjectionWindow = 512;
inline constexpr std::size_t kInjectionBudget = 1024;

// Which detectors a deep rule runs: all of them (what a request meets), or one kind alone (for
// measuring what each adds).
enum class DeepDetectors : uint8_t { kAll, kLibinjection, kSignatures };

// A URL rules' pattern found in one of the URL's decoded forms.
struct FormMatch {
  std::size_t form;  // index into DeepRequest::forms(), never 0 (the raw URL)
};

class DeepRequest {
 public:
  // url: the request target as the server holds it (path, "?", query). Not copied.
  explicit DeepRequest(std::string_view url);
  // Views of its own texts are handed around inside: neither copied nor moved.
  DeepRequest(const DeepRequest&) = delete;
  DeepRequest& operator=(const DeepRequest&) = delete;

  std::string_view url() const { return url_; }
  // The distinct decoded forms of the URL, the raw URL first (DecodeUrlForms).
  const std::vector<UrlForm>& forms();
  // The path (before the first "?") normalised (Normalise, "+" kept). Deep rules also test its
  // first pass when it was encoded more than once, as they do an argument's valueFirstPass. Valid
  // as long as the request.
  std::string_view path();
  // The query's arguments (SplitArguments); none without a "?".
  const std::vector<Argument>& arguments();
  // The query as one text (see DeepSubjectKind::kQuery), or empty.
  const std::string& queryText();

  // The first finding of rule in the decoded path, then in each argument's name and value in
  // order, then in the query as one text; nothing when the rule finds nothing. Within one text,
  // libinjection answers before the rule's own signatures.
  std::optional<DeepFinding> Test(DeepRule rule, DeepDetectors detectors = DeepDetectors::kAll);

  // Whether the URL has a decoded form besides the raw one (something in it needs decoding), which
  // is the only case in which FindInForms can find anything.
  bool HasDecodedForms();

  // The first decoded form after the raw URL in which pattern `index` of set occurs, or nothing.
  // Each form is scanned by set once per request; later questions about the same set reuse the
  // scans. Asking about another set starts new scans.
  std::optional<FormMatch> FindInForms(const PatternSet& set, std::size_t index);

 private:
  struct Subject {
    DeepSubjectKind kind;
    std::size_t argument;
    std::string_view text;  // of path_, pathFirstPass_, arguments_, query_ or the URL
    bool firstPass = false;
    bool signaturesKnown = false;
    SignatureMask signatures = 0;
    int8_t sqli = -1;  // -1 not asked, 0 no, 1 yes (fingerprint kept)
    int8_t xss = -1;
    char fingerprint[8] = {};
    // With every detector (DeepDetectors::kAll): the rules (RuleBit) whose answer for this text is
    // known, and those that found something in it.
    uint8_t rulesKnown = 0, rulesFound = 0;
  };
  static uint8_t RuleBit(DeepRule rule) { return static_cast<uint8_t>(1u << static_cast<unsigned>(rule)); }
  // Whether the path, the query hold anything a decoding step changes (NeedsDecoding).
  bool PathNeedsDecoding();
  bool QueryNeedsDecoding();
  // Whether the URL is made of plain texts (see deep_request.cc), which need no decoding; and
  // whether, being so, no deep rule can find anything in it (most URLs), known without making its
  // texts.
  bool HasPlainShape() const;
  bool PlainShape();
  bool PlainTextsMayMatch() const;
  bool FindsNothing();
  std::vector<Subject>& subjects();
  // What finds rule in subject: the index of one of DeepSignatures, kByLibinjection or kNotFound.
  // Each detector runs on a subject once, when first asked.
  static constexpr int kNotFound = -1, kByLibinjection = -2;
  int Detect(DeepRule rule, DeepDetectors detectors, Subject& subject);
  DeepFinding MakeFinding(DeepRule rule, const Subject& subject, int by) const;

  std::string_view url_;
  std::size_t queryStart_;  // the first "?" or the URL's length
  const DeepSignatureMatcher& matcher_;
  // -1 not known yet, 0 no, 1 yes.
  int8_t pathNeedsDecoding_ = -1, queryNeedsDecoding_ = -1, plainShape_ = -1, findsNothing_ = -1;
  bool formsKnown_ = false, pathKnown_ = false, argumentsKnown_ = false, subjectsKnown_ = false;
  std::vector<UrlForm> forms_;
  std::string_view path_;        // the raw path, or decodedPath_
  std::string decodedPath_;
  std::string pathFirstPass_;
  std::string query_;
  std::vector<Argument> arguments_;
  std::vector<Subject> subjects_;
  std::size_t sqliUnits_ = 0, xssUnits_ = 0;  // of kInjectionBudget, spent so far
  const PatternSet* scannedSet_ = nullptr;
  std::vector<PatternSet::Scan> scans_;  // scans_[i] is of forms_[i + 1]
};

}  // namespace vell

#endif  // VELL_DETECT_DEEP_REQUEST_H_
