// One request's deep inspection: decoded texts made on first need, each detector run once per text.
#include "detect/deep_request.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>

#include "detect/injection.h"

namespace vell {

namespace {

constexpr std::size_t kDescribedTextMax = 200;

// The bytes of a plain URL's path, names and values (DeepRequest::HasPlainShape), what separates
// them, and the others.
enum : uint8_t { kPlainByte = 0, kOther = 1, kAmpersand = 2, kEquals = 4 };
constexpr std::array<uint8_t, 256> kPlainUrlBytes = [] {
  std::array<uint8_t, 256> kinds{};
  for (uint8_t& kind : kinds) kind = kOther;
  for (int c = 'a'; c <= 'z'; ++c) kinds[c] = kinds[c - 'a' + 'A'] = kPlainByte;
  for (int c = '0'; c <= '9'; ++c) kinds[c] = kPlainByte;
  for (const char c : std::string_view("_-./")) kinds[static_cast<unsigned char>(c)] = kPlainByte;
  kinds['&'] = kAmpersand;
  kinds['='] = kEquals;
  return kinds;
}();

// The part of window that a detector with `spent` of its budget gone may read (nothing when the
// budget is spent), counted against the budget.
std::string_view WithinBudget(std::size_t& spent, std::string_view window) {
  const InjectionPrefix prefix = InjectionPrefixWithin(window, kInjectionBudget - spent);
  spent += prefix.units;
  return window.substr(0, prefix.size);
}

void AppendPrintable(std::string_view text, std::string& out) {
  for (const char c : text.substr(0, kDescribedTextMax)) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7F && b != '\\' && b != '"') {
      out += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", b);
      out += escaped;
    }
  }
  if (text.size() > kDescribedTextMax) out += "...";
}

}  // namespace

std::string DeepFinding::Describe() const {
  std::string out = DeepRuleName(rule);
  out += ": ";
  if (where == DeepSubjectKind::kPath) {
    out += "path \"";
  } else if (where == DeepSubjectKind::kQuery) {
    out += "query \"";
  } else {
    out += "argument \"";
    AppendPrintable(argumentName, out);
    out += where == DeepSubjectKind::kArgumentName ? "\" name \"" : "\" value \"";
  }
  if (firstPass) out.insert(out.size() - 1, "decoded once ");
  AppendPrintable(text, out);
  out += "\": ";
  out += detector;
  out += detector == "libinjection" && rule == DeepRule::kSQLi ? " fingerprint \"" : " \"";
  AppendPrintable(evidence, out);
  out += '"';
  return out;
}

DeepRequest::DeepRequest(std::string_view url)
    : url_(url), queryStart_(std::min(url.find('?'), url.size())), matcher_(BuiltInDeepSignatures()) {}

bool DeepRequest::PathNeedsDecoding() {
  if (pathNeedsDecoding_ < 0) {
    pathNeedsDecoding_ = !PlainShape() && NeedsDecoding(url_.substr(0, queryStart_)) ? 1 : 0;
  }
  return pathNeedsDecoding_ == 1;
}

bool DeepRequest::QueryNeedsDecoding() {
  if (queryNeedsDecoding_ < 0) {
    queryNeedsDecoding_ = !PlainShape() && NeedsDecoding(url_.substr(queryStart_)) ? 1 : 0;
  }
  return queryNeedsDecoding_ == 1;
}


// A URL whose path, argument names and values are made only of letters, digits, "_", "-", "."
// and "/" (without "--"), split by one "=" in each of at most kMaxArguments pieces (or a query that
// is one name), is what most requests carry. Its texts are the path, the names and the values as
// they stand: nothing to decode, no byte that libinjection could read as SQL or HTML (the
// screening of ScreenForInjection says no to each), and the own signatures can only occur where
// one of their plain texts does (DeepSignatureMatcher::MayMatch). So when none of those answers
// yes, no deep rule finds anything, and the texts need not be made at all.
bool DeepRequest::HasPlainShape() const {
  // The bytes, each read without a branch on it: plain ones in the path, and in the query "&" and
  // "=" too; "--" nowhere (next to each other in the URL, the two would be in one text).
  unsigned pathKinds = 0, queryKinds = 0;
  for (std::size_t i = 0; i < queryStart_; ++i) {
    pathKinds |= kPlainUrlBytes[static_cast<unsigned char>(url_[i])];
  }
  for (std::size_t i = queryStart_ + 1; i < url_.size(); ++i) {
    queryKinds |= kPlainUrlBytes[static_cast<unsigned char>(url_[i])];
  }
  if ((pathKinds & (kOther | kAmpersand | kEquals)) != 0 || (queryKinds & kOther) != 0 ||
      url_.find("--") != std::string_view::npos) {
    return false;
  }
  // The pieces: one "=" in each (a second is a byte of the value), at most kMaxArguments.
  std::size_t pieces = 0, piecesWithoutEquals = 0;
  for (std::size_t start = queryStart_ + 1; start < url_.size();) {
    const std::size_t end = std::min(url_.find('&', start), url_.size());
    const std::string_view piece = url_.substr(start, end - start);
    start = end + 1;
    if (piece.empty()) continue;
    const std::size_t equals = std::min(piece.find('='), piece.size());
    if (equals < piece.size() && piece.find('=', equals + 1) != std::string_view::npos) return false;
    ++pieces;
    piecesWithoutEquals += equals == piece.size();
  }
  // A piece without "=" makes the whole query one more text, unless it is the only piece.
  return pieces <= kMaxArguments && (piecesWithoutEquals == 0 || pieces == 1);
}

bool DeepRequest::PlainShape() {
  // A long URL is left to the texts' own checks, each of which reads it once anyway, rather than
  // read once more in case it is plain.
  if (plainShape_ < 0) {
    plainShape_ = url_.size() <= DeepSignatureMatcher::kQuickCheckMaxLength && HasPlainShape() ? 1 : 0;
  }
  return plainShape_ == 1;
}

bool DeepRequest::FindsNothing() {
  if (findsNothing_ < 0) findsNothing_ = PlainShape() && !PlainTextsMayMatch() ? 1 : 0;
  return findsNothing_ == 1;
}

bool DeepRequest::PlainTextsMayMatch() const {
  if (matcher_.HoldsPlainText(url_) || matcher_.BeginsWithPlainText(url_.substr(0, queryStart_), false)) {
    return true;
  }
  for (std::size_t start = queryStart_ + 1; start < url_.size();) {
    const std::size_t end = std::min(url_.find('&', start), url_.size());
    const std::string_view piece = url_.substr(start, end - start);
    start = end + 1;
    const std::size_t equals = std::min(piece.find('='), piece.size());
    if (matcher_.BeginsWithPlainText(piece.substr(0, equals), false) ||
        (equals < piece.size() && matcher_.BeginsWithPlainText(piece.substr(equals + 1), true))) {
      return true;
    }
  }
  return false;
}

const std::vector<UrlForm>& DeepRequest::forms() {
  if (!formsKnown_) {
    if (PathNeedsDecoding() || QueryNeedsDecoding()) {
      // The normalised form is the normalised path, which the deep rules read too, and query.
      std::string normalised(path());
      normalised += Normalise(url_.substr(queryStart_), true);
      forms_ = DecodeUrlForms(url_, std::move(normalised));
    } else {
      forms_ = {{"raw", std::string(url_)}};
    }
    formsKnown_ = true;
  }
  return forms_;
}

std::string_view DeepRequest::path() {
  if (!pathKnown_) {
    path_ = url_.substr(0, queryStart_);
    if (PathNeedsDecoding()) {
      decodedPath_ = Normalise(path_, false, &pathFirstPass_);
      path_ = decodedPath_;
    }
    pathKnown_ = true;
  }
  return path_;
}

const std::vector<Argument>& DeepRequest::arguments() {
  if (!argumentsKnown_) {
    if (queryStart_ < url_.size()) {
      const std::string_view query = url_.substr(queryStart_ + 1);
      ParsedQuery parsed = SplitArguments(query, kMaxArguments, QueryNeedsDecoding());
      arguments_ = std::move(parsed.arguments);
      // A query that is one name alone is already a text of its own.
      const bool oneName = arguments_.size() == 1 && query.find('=') == std::string_view::npos;
      query_ = parsed.formEncoded ? std::move(parsed.rest) : oneName ? std::string() : Normalise(query, true);
    }
    argumentsKnown_ = true;
  }
  return arguments_;
}

const std::string& DeepRequest::queryText() {
  arguments();
  return query_;
}

std::vector<DeepRequest::Subject>& DeepRequest::subjects() {
  if (!subjectsKnown_) {
    // The texts are owned by the URL, decodedPath_, pathFirstPass_, arguments_ and query_, which
    // no longer change.
    const std::vector<Argument>& args = arguments();
    subjects_.reserve(3 + 3 * args.size());
    subjects_.push_back({DeepSubjectKind::kPath, 0, path()});
    if (!pathFirstPass_.empty()) subjects_.push_back({DeepSubjectKind::kPath, 0, pathFirstPass_, true});
    for (std::size_t i = 0; i < args.size(); ++i) {
      const Argument& arg = args[i];
      if (!arg.name.empty()) subjects_.push_back({DeepSubjectKind::kArgumentName, i, arg.name});
      if (!arg.value.empty()) subjects_.push_back({DeepSubjectKind::kArgumentValue, i, arg.value});
      if (!arg.valueFirstPass.empty()) {
        subjects_.push_back({DeepSubjectKind::kArgumentValue, i, arg.valueFirstPass, true});
      }
    }
    if (!query_.empty()) {
      // The query as a whole meets the own signatures only: libinjection reads its "&" and "=" as
      // SQL and HTML.
      Subject& query = subjects_.emplace_back(Subject{DeepSubjectKind::kQuery, 0, query_});
      query.sqli = query.xss = 0;
    }
    subjectsKnown_ = true;
  }
  return subjects_;
}

int DeepRequest::Detect(DeepRule rule, DeepDetectors detectors, Subject& subject) {
  if (detectors != DeepDetectors::kSignatures && (rule == DeepRule::kSQLi || rule == DeepRule::kXSS)) {
    const std::string_view window = subject.text.substr(0, kInjectionWindow);
    if (subject.sqli < 0 && subject.xss < 0) {
      // One look tells whether either detector could flag the text at all.
      const InjectionCandidates candidates = ScreenForInjection(window);
      if (!candidates.sql) subject.sqli = 0;
      if (!candidates.xss) subject.xss = 0;
    }
    if (rule == DeepRule::kSQLi) {
      if (subject.sqli < 0) {
        subject.sqli = 0;
        const std::string_view read = WithinBudget(sqliUnits_, window);
        if (!read.empty()) {
          if (const std::optional<std::string> fingerprint = DetectSqlInjection(read)) {
            subject.sqli = 1;
            fingerprint->copy(subject.fingerprint, sizeof subject.fingerprint - 1);
          }
        }
      }
      if (subject.sqli == 1) return kByLibinjection;
    } else {
      if (subject.xss < 0) {
        const std::string_view read = WithinBudget(xssUnits_, window);
        subject.xss = !read.empty() && DetectXss(read) ? 1 : 0;
      }
      if (subject.xss == 1) return kByLibinjection;
    }
  }
  if (detectors == DeepDetectors::kLibinjection) return kNotFound;
  if (!subject.signaturesKnown) {
    subject.signatures = matcher_.Match(subject.text, subject.kind == DeepSubjectKind::kArgumentValue);
    subject.signaturesKnown = true;
    // Rules that libinjection does not serve have their answer now.
    for (std::size_t r = 0; r < kDeepRuleCount; ++r) {
      const auto other = static_cast<DeepRule>(r);
      if (other == DeepRule::kSQLi || other == DeepRule::kXSS) continue;
      subject.rulesKnown |= RuleBit(other);
      if ((subject.signatures & matcher_.RuleMask(other)) != 0) subject.rulesFound |= RuleBit(other);
    }
  }
  const SignatureMask hits = subject.signatures & matcher_.RuleMask(rule);
  const int by = hits == 0 ? kNotFound : std::countr_zero(hits);
  if (detectors == DeepDetectors::kAll) {
    subject.rulesKnown |= RuleBit(rule);
    if (by != kNotFound) subject.rulesFound |= RuleBit(rule);
  }
  return by;
}

DeepFinding DeepRequest::MakeFinding(DeepRule rule, const Subject& subject, int by) const {
  DeepFinding finding{rule, subject.kind};
  finding.argument = subject.argument;
  if (subject.kind == DeepSubjectKind::kArgumentName || subject.kind == DeepSubjectKind::kArgumentValue) {
    finding.argumentName = arguments_[subject.argument].name;
  }
  const std::string_view text = subject.text;
  finding.text = text;
  finding.firstPass = subject.firstPass;
  if (by == kByLibinjection) {
    finding.detector = "libinjection";
    finding.evidence = rule == DeepRule::kSQLi ? subject.fingerprint : "xss";
    finding.end = text.size();
    return finding;
  }
  const auto index = static_cast<std::size_t>(by);
  finding.detector = DeepSignatures[index].name;
  if (const auto span = matcher_.Find(index, text)) {
    finding.begin = span->begin;
    finding.end = span->end;
    finding.evidence = text.substr(span->begin, span->end - span->begin);
  }
  return finding;
}

std::optional<DeepFinding> DeepRequest::Test(DeepRule rule, DeepDetectors detectors) {
  if (detectors == DeepDetectors::kAll && FindsNothing()) return std::nullopt;
  const uint8_t bit = RuleBit(rule);
  for (Subject& subject : subjects()) {
    // Most subjects of most requests have been read for another rule already, which answered for
    // this one too.
    const bool knownEmpty = (subject.rulesKnown & bit) != 0 && (subject.rulesFound & bit) == 0;
    if (detectors == DeepDetectors::kAll && knownEmpty) continue;
    const int by = Detect(rule, detectors, subject);
    if (by != kNotFound) return MakeFinding(rule, subject, by);
  }
  return std::nullopt;
}

bool DeepRequest::HasDecodedForms() { return (PathNeedsDecoding() || QueryNeedsDecoding()) && forms().size() > 1; }

std::optional<FormMatch> DeepRequest::FindInForms(const PatternSet& set, std::size_t index) {
  if (!HasDecodedForms()) return std::nullopt;
  const std::vector<UrlForm>& all = forms();
  if (scannedSet_ != &set) {
    scans_.clear();
    scans_.reserve(all.size() - 1);
    for (std::size_t i = 1; i < all.size(); ++i) scans_.push_back(set.ScanSubject(all[i].text));
    scannedSet_ = &set;
  }
  for (std::size_t i = 0; i < scans_.size(); ++i) {
    if (!scans_[i].NoneFound() && scans_[i].Found(index)) return FormMatch{i + 1};
  }
  return std::nullopt;
}

}  // namespace vell
