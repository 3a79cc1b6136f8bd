// Detection report: how much of an attack corpus the built-in catalogue (every signature, every
// metacharacter) and the deep layer catch, and what they flag in benign traffic. Run by hand
// through bench/detection-report; prints markdown tables.
//
// usage: vell_detect_report [--attacks=TSV]... [--benign=LOG] [--false-positives=TXT] [--show=N]
//   --attacks          "class<TAB>source<TAB>url" lines (plain or gzip), "#" lines skipped
//   --benign           an access log of benign requests (any format tools/access_log.h reads)
//   --false-positives  libinjection's list of benign inputs, each placed as a query value
//   --show             list up to N missed attacks per class and every flagged benign request
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <re2/re2.h>

#include "config/signatures.h"
#include "detect/deep_request.h"
#include "pattern/pattern.h"
#include "pattern/pattern_set.h"
#include "tools/access_log.h"

namespace {

using vell::DeepRequest;

struct Catalogue {
  std::vector<std::string> names;  // parallel to the set's patterns
  vell::PatternSet set;
};

Catalogue MakeCatalogue() {
  Catalogue catalogue;
  std::vector<vell::CompiledPatternPtr> patterns;
  for (const auto& signature : vell::SignatureCatalogue) {
    patterns.push_back(std::make_shared<vell::CompiledPattern>(signature.pattern));
    catalogue.names.push_back(signature.name);
  }
  for (std::size_t i = 0; i < vell::kMetaCharCount; ++i) {
    patterns.push_back(std::make_shared<vell::CompiledPattern>(vell::MetaCharPatterns[i]));
    catalogue.names.push_back("MetaChar bit " + std::to_string(i));
  }
  catalogue.set = vell::PatternSet(std::move(patterns), vell::MatchMode::kOnePass);
  return catalogue;
}

// What decided one URL at each stage, empty when nothing fired.
struct Verdict {
  std::string raw;     // a catalogue pattern on the raw URL
  std::string forms;   // a catalogue pattern on a decoded form
  std::string deep;    // a deep rule
  std::string detail;  // what the deep rule or form match says
  std::string First() const { return !raw.empty() ? raw : !forms.empty() ? forms : deep; }
};

Verdict Inspect(const Catalogue& catalogue, std::string_view url) {
  Verdict verdict;
  vell::PatternSet::Scan scan = catalogue.set.ScanSubject(url);
  DeepRequest request(url);
  for (std::size_t i = 0; i < catalogue.names.size(); ++i) {
    if (verdict.raw.empty() && !scan.NoneFound() && scan.Found(i)) verdict.raw = catalogue.names[i];
    if (verdict.forms.empty()) {
      if (const auto match = request.FindInForms(catalogue.set, i)) {
        verdict.forms = catalogue.names[i];
        if (verdict.detail.empty()) verdict.detail = std::string("form ") + request.forms()[match->form].name;
      }
    }
  }
  for (std::size_t r = 0; r < vell::kDeepRuleCount; ++r) {
    if (const auto finding = request.Test(static_cast<vell::DeepRule>(r))) {
      verdict.deep = vell::DeepRuleName(finding->rule);
      verdict.detail = finding->Describe();
      break;
    }
  }
  return verdict;
}

struct ClassCount {
  std::size_t total = 0, raw = 0, withForms = 0, deepOnly = 0, any = 0;
  std::vector<std::string> missed;
};

double Percent(std::size_t part, std::size_t whole) { return whole == 0 ? 0.0 : 100.0 * part / whole; }

void ReportAttacks(const Catalogue& catalogue, const std::string& path, std::size_t show) {
  vell::tools::LineSource source;
  std::string error;
  if (!source.Open(path, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return;
  }
  std::map<std::string, ClassCount> classes;
  std::map<std::string, std::size_t> byDeepRule;
  std::string_view line;
  while (source.Next(&line)) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t tab1 = line.find('\t');
    const std::size_t tab2 = line.find('\t', tab1 + 1);
    if (tab1 == std::string_view::npos || tab2 == std::string_view::npos) continue;
    const std::string cls(line.substr(0, tab1));
    const std::string url(line.substr(tab2 + 1));
    const Verdict verdict = Inspect(catalogue, url);
    ClassCount& count = classes[cls];
    ++count.total;
    if (!verdict.raw.empty()) ++count.raw;
    if (!verdict.raw.empty() || !verdict.forms.empty()) ++count.withForms;
    if (!verdict.deep.empty()) ++count.deepOnly;
    if (!verdict.First().empty()) {
      ++count.any;
    } else if (count.missed.size() < show) {
      count.missed.push_back(url);
    }
    if (!verdict.deep.empty()) ++byDeepRule[cls + " " + verdict.deep];
  }
  std::printf("\n### Attacks: %s\n\n", path.c_str());
  std::printf("| class | requests | catalogue, raw URL | catalogue, raw + decoded forms | deep rules alone | all |\n");
  std::printf("|---|---|---|---|---|---|\n");
  for (const auto& [cls, count] : classes) {
    std::printf("| %s | %zu | %.1f%% | %.1f%% | %.1f%% | **%.1f%%** |\n", cls.c_str(), count.total,
                Percent(count.raw, count.total), Percent(count.withForms, count.total),
                Percent(count.deepOnly, count.total), Percent(count.any, count.total));
  }
  for (const auto& [cls, count] : classes) {
    for (const std::string& url : count.missed) std::printf("missed %s: %s\n", cls.c_str(), url.c_str());
  }
}

// A flagged benign request, counted by what flagged it first.
struct Flags {
  std::map<std::string, std::size_t> byRule;
  std::vector<std::string> lines;
  std::size_t total = 0;
  void Add(const Verdict& verdict, const std::string& label, std::size_t show) {
    ++total;
    ++byRule[verdict.First()];
    if (lines.size() < show) lines.push_back(verdict.First() + "  " + label + "  " + verdict.detail);
  }
  void Print(const char* what) const {
    std::printf("%s: %zu flagged", what, total);
    for (const auto& [rule, n] : byRule) std::printf("; %s %zu", rule.c_str(), n);
    std::printf("\n");
    for (const std::string& line : lines) std::printf("    %s\n", line.c_str());
  }
};

void ReportBenign(const Catalogue& catalogue, const std::string& path, std::size_t show) {
  vell::tools::AccessLogReader reader;
  std::string error;
  if (!reader.Open(path, vell::tools::LogFormat::Unknown, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return;
  }
  // The directory-listing sort links of Apache's mod_autoindex ("?C=D;O=A"), which only the
  // semicolon metacharacter flags and which a production config exempts.
  const re2::RE2 listingLink(R"(\?C=[NMSD];O=[AD]$)");
  Flags listing, others;
  std::size_t requests = 0, listingRequests = 0;
  vell::tools::LogRequest request;
  while (reader.Next(&request)) {
    ++requests;
    const std::string url(request.url);
    const bool isListing = re2::RE2::PartialMatch(url, listingLink);
    listingRequests += isListing;
    const Verdict verdict = Inspect(catalogue, url);
    if (verdict.First().empty()) continue;
    (isListing ? listing : others).Add(verdict, url, show);
  }
  std::printf("\n### Benign: %s (%zu requests, %zu directory-listing links)\n\n", path.c_str(), requests,
              listingRequests);
  listing.Print("directory-listing links");
  others.Print("other requests");
}

// Places each line of libinjection's false-positive list in a query value, with the bytes that
// cannot stand in a request target (space, "#", controls, non-ASCII) percent-encoded.
void ReportFalsePositives(const Catalogue& catalogue, const std::string& path, std::size_t show) {
  vell::tools::LineSource source;
  std::string error;
  if (!source.Open(path, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return;
  }
  Flags catalogueFlags, libinjectionFlags, ownFlags;
  std::size_t values = 0;
  std::string_view line;
  while (source.Next(&line)) {
    if (line.empty() || line[0] == '#') continue;
    ++values;
    std::string url = "/index.php?q=";
    for (const char c : line) {
      const auto b = static_cast<unsigned char>(c);
      if (b <= 0x20 || b >= 0x7F || b == '#') {
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", b);
        url += escaped;
      } else {
        url += c;
      }
    }
    const Verdict verdict = Inspect(catalogue, url);
    if (verdict.First().empty()) continue;
    if (!verdict.raw.empty() || !verdict.forms.empty()) {
      catalogueFlags.Add(verdict, url, show);
    } else if (verdict.detail.find(": libinjection") != std::string::npos) {
      libinjectionFlags.Add(verdict, url, show);
    } else {
      ownFlags.Add(verdict, url, show);
    }
  }
  std::printf("\n### libinjection's false positives as query values: %s (%zu values)\n\n", path.c_str(), values);
  catalogueFlags.Print("by the catalogue");
  libinjectionFlags.Print("by libinjection (deep rules)");
  ownFlags.Print("by the deep layer's own signatures");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> attacks;
  std::string benign, falsePositives;
  std::size_t show = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* prefix) -> std::optional<std::string> {
      const std::string p = prefix;
      if (arg.compare(0, p.size(), p) == 0) return arg.substr(p.size());
      return std::nullopt;
    };
    if (auto v = value("--attacks=")) {
      attacks.push_back(*v);
    } else if (auto v = value("--benign=")) {
      benign = *v;
    } else if (auto v = value("--false-positives=")) {
      falsePositives = *v;
    } else if (auto v = value("--show=")) {
      show = std::stoul(*v);
    } else {
      std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
      return 2;
    }
  }
  const Catalogue catalogue = MakeCatalogue();
  for (const std::string& path : attacks) ReportAttacks(catalogue, path, show);
  if (!benign.empty()) ReportBenign(catalogue, benign, show);
  if (!falsePositives.empty()) ReportFalsePositives(catalogue, falsePositives, show);
  return 0;
}
