// One request's deep inspection: decoded texts made on first need, each detector run once per text.
#include "detect/deep_request.h"

#include <algorithm>
#include <bit>
#include <cstdio>

#include "detect/injection.h"

namespace vell {

namespace {

constexpr std::size_t kDescribedTextMax = 200;

// Counts size against a detector's budget; false (and nothing counted) when it would go over.
bool WithinBudget(std::size_t& used, std::size_t size) {
  if (used + size > kInjectionBudget) return false;
  used += size;
  return true;
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
  if (pathNeedsDecoding_ < 0) pathNeedsDecoding_ = NeedsDecoding(url_.substr(0, queryStart_)) ? 1 : 0;
  return pathNeedsDecoding_ == 1;
}

bool DeepRequest::QueryNeedsDecoding() {
  if (queryNeedsDecoding_ < 0) queryNeedsDecoding_ = NeedsDecoding(url_.substr(queryStart_)) ? 1 : 0;
  return queryNeedsDecoding_ == 1;
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
      ParsedQuery parsed = SplitArguments(query);
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
        if (WithinBudget(sqliBytes_, window.size())) {
          if (const std::optional<std::string> fingerprint = DetectSqlInjection(window)) {
            subject.sqli = 1;
            fingerprint->copy(subject.fingerprint, sizeof subject.fingerprint - 1);
          }
        }
      }
      if (subject.sqli == 1) return kByLibinjection;
    } else {
      if (subject.xss < 0) subject.xss = WithinBudget(xssBytes_, window.size()) && DetectXss(window) ? 1 : 0;
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

std::optional<FormMatch> DeepRequest::FindInForms(const PatternSet& set, std::size_t index) {
  if (!PathNeedsDecoding() && !QueryNeedsDecoding()) return std::nullopt;  // the raw URL is the only form
  const std::vector<UrlForm>& all = forms();
  if (all.size() == 1) return std::nullopt;  // the raw URL is the only form
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
