// Detection report: how much of an attack corpus the built-in catalogue (every signature, every
// metacharacter) and the deep layer catch, and what they flag in benign traffic. Run by hand
// through bench/detection-report; prints markdown tables.
//
// usage: vell_detect_report [--attacks=TSV]... [--benign=LOG] [--false-positives=TXT] [--show=N]
//                           [--timing]
//   --attacks          "class<TAB>source<TAB>url" lines (plain or gzip), "#" lines skipped
//   --benign           an access log of benign requests (any format tools/access_log.h reads)
//   --false-positives  libinjection's list of benign inputs, each placed as a query value
//   --show             list up to N missed attacks per class and N flagged benign requests
//   --timing           also time the layer per request on the benign log, every tenth attack and
//                      16 KB adversarial URLs, deep off and on
#include <re2/re2.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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
  catalogue.set = vell::PatternSet(std::move(patterns));
  return catalogue;
}

// What fired on one URL in each layer, each asked on its own; empty where nothing fired.
struct Verdict {
  std::string raw;                        // a catalogue pattern on the raw URL (what the URL rules see today)
  std::string forms;                      // a catalogue pattern on a decoded form, not on the raw URL
  std::string libinjection;               // a deep rule through libinjection
  std::string signatures;                 // a deep rule through the layer's own signatures
  std::string detail;                     // what the first deep finding or form match says
  vell::SignatureMask signatureHits = 0;  // every own signature that occurs in a decoded text
  bool Deep() const { return !libinjection.empty() || !signatures.empty(); }
  bool Any() const { return !raw.empty() || !forms.empty() || Deep(); }
};

// The own signatures that occur in any of the texts the deep rules read.
vell::SignatureMask SignatureHits(DeepRequest& request) {
  const vell::DeepSignatureMatcher& matcher = vell::BuiltInDeepSignatures();
  vell::SignatureMask hits = matcher.Match(request.path(), false) | matcher.Match(request.queryText(), false);
  for (const vell::Argument& argument : request.arguments()) {
    hits |= matcher.Match(argument.name, false) | matcher.Match(argument.value, true) |
            matcher.Match(argument.valueFirstPass, true);
  }
  return hits;
}

Verdict Inspect(const Catalogue& catalogue, std::string_view url) {
  Verdict verdict;
  vell::PatternSet::Scan scan = catalogue.set.ScanSubject(url);
  DeepRequest request(url);
  for (std::size_t i = 0; i < catalogue.names.size(); ++i) {
    const bool inRaw = !scan.NoneFound() && scan.Found(i);
    if (verdict.raw.empty() && inRaw) verdict.raw = catalogue.names[i];
    if (verdict.forms.empty() && !inRaw) {
      if (const auto match = request.FindInForms(catalogue.set, i)) {
        verdict.forms = catalogue.names[i];
        verdict.detail = std::string("form ") + request.forms()[match->form].name;
      }
    }
  }
  for (std::size_t r = 0; r < vell::kDeepRuleCount; ++r) {
    const auto rule = static_cast<vell::DeepRule>(r);
    for (auto [detectors, name] : {std::pair{vell::DeepDetectors::kLibinjection, &verdict.libinjection},
                                   std::pair{vell::DeepDetectors::kSignatures, &verdict.signatures}}) {
      if (!name->empty()) continue;
      if (const auto finding = request.Test(rule, detectors)) {
        *name = vell::DeepRuleName(rule);
        if (verdict.detail.empty() || !verdict.forms.empty()) verdict.detail = finding->Describe();
      }
    }
  }
  verdict.signatureHits = SignatureHits(request);
  return verdict;
}

struct ClassCount {
  std::size_t total = 0, raw = 0, withForms = 0, deepOnly = 0, any = 0;
  std::vector<std::string> missed;
};

// Opens a corpus file, saying on stderr why when it cannot.
bool OpenLines(const std::string& path, vell::tools::LineSource& source) {
  std::string error;
  if (source.Open(path, &error)) return true;
  std::fprintf(stderr, "%s\n", error.c_str());
  return false;
}

double Percent(std::size_t part, std::size_t whole) { return whole == 0 ? 0.0 : 100.0 * part / whole; }

void ReportAttacks(const Catalogue& catalogue, const std::string& path, std::size_t show) {
  vell::tools::LineSource source;
  if (!OpenLines(path, source)) return;
  std::map<std::string, ClassCount> classes;
  // Per own signature: the attacks it fires on, and those that nothing else catches.
  std::array<std::size_t, vell::kDeepSignatureCount> hits{}, alone{};
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
    if (verdict.Deep()) ++count.deepOnly;
    const bool othersCatch = !verdict.raw.empty() || !verdict.forms.empty() || !verdict.libinjection.empty();
    for (std::size_t i = 0; i < vell::kDeepSignatureCount; ++i) {
      if (((verdict.signatureHits >> i) & 1u) == 0) continue;
      ++hits[i];
      alone[i] += !othersCatch && verdict.signatureHits == (vell::SignatureMask{1} << i);
    }
    if (verdict.Any()) {
      ++count.any;
    } else if (count.missed.size() < show) {
      count.missed.push_back(url);
    }
  }
  std::printf("\n### Attacks: %s\n\n", path.c_str());
  std::printf(
      "| class | requests | catalogue, raw URL | catalogue, raw + decoded forms | deep rules alone | all "
      "|\n");
  std::printf("|---|---|---|---|---|---|\n");
  for (const auto& [cls, count] : classes) {
    std::printf("| %s | %zu | %.1f%% | %.1f%% | %.1f%% | **%.1f%%** |\n", cls.c_str(), count.total,
                Percent(count.raw, count.total), Percent(count.withForms, count.total),
                Percent(count.deepOnly, count.total), Percent(count.any, count.total));
  }
  std::printf(
      "\nOwn signatures: the attacks each occurs in, and those that only it catches (no catalogue "
      "pattern, libinjection or other signature):\n\n| signature | rule | attacks | only it "
      "|\n|---|---|---|---|\n");
  for (std::size_t i = 0; i < vell::kDeepSignatureCount; ++i) {
    std::printf("| %s | %s | %zu | %zu |\n", vell::DeepSignatures[i].name,
                vell::DeepRuleName(vell::DeepSignatures[i].rule), hits[i], alone[i]);
  }
  for (const auto& [cls, count] : classes) {
    for (const std::string& url : count.missed) std::printf("missed %s: %s\n", cls.c_str(), url.c_str());
  }
}

// Benign requests flagged by each layer on its own, by the rule that fired.
struct Flags {
  struct Layer {
    const char* name;
    std::size_t total = 0;
    std::map<std::string, std::size_t> byRule;
    std::vector<std::string> lines;
  };
  std::array<Layer, 4> layers{{{"catalogue, raw URL"},
                               {"catalogue, decoded forms (not raw)"},
                               {"deep rules, libinjection"},
                               {"deep rules, own signatures"}}};
  std::size_t any = 0;

  void Add(const Verdict& verdict, const std::string& label, std::size_t show) {
    const std::string* fired[] = {&verdict.raw, &verdict.forms, &verdict.libinjection, &verdict.signatures};
    any += verdict.Any();
    for (std::size_t i = 0; i < layers.size(); ++i) {
      if (fired[i]->empty()) continue;
      Layer& layer = layers[i];
      ++layer.total;
      ++layer.byRule[*fired[i]];
      // The raw URL's flags are today's; only the new layers' are listed.
      if (i > 0 && layer.lines.size() < show) layer.lines.push_back(label + "  " + verdict.detail);
    }
  }
  void Print(const char* what, std::size_t requests) const {
    std::printf("\n%s (%zu requests): %zu flagged by any layer\n\n", what, requests, any);
    std::printf("| layer | flagged | by rule |\n|---|---|---|\n");
    for (const Layer& layer : layers) {
      std::string rules;
      for (const auto& [rule, n] : layer.byRule)
        rules += (rules.empty() ? "" : ", ") + rule + " " + std::to_string(n);
      std::printf("| %s | %zu | %s |\n", layer.name, layer.total, rules.c_str());
    }
    for (const Layer& layer : layers) {
      for (const std::string& line : layer.lines) std::printf("    %s: %s\n", layer.name, line.c_str());
    }
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
  std::size_t listingRequests = 0, otherRequests = 0;
  vell::tools::LogRequest request;
  while (reader.Next(&request)) {
    const std::string url(request.url);
    const bool isListing = re2::RE2::PartialMatch(url, listingLink);
    (isListing ? listingRequests : otherRequests) += 1;
    const Verdict verdict = Inspect(catalogue, url);
    if (verdict.Any()) (isListing ? listing : others).Add(verdict, url, show);
  }
  std::printf("\n### Benign: %s\n", path.c_str());
  listing.Print("Directory-listing links", listingRequests);
  others.Print("Other requests", otherRequests);
}

// Places each line of libinjection's false-positive list in a query value, with the bytes that
// cannot stand in a request target (space, "#", controls, non-ASCII) percent-encoded.
std::string QueryValueUrl(std::string_view value) {
  std::string url = "/index.php?q=";
  for (const char c : value) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b >= 0x7F || b == '#') {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", b);
      url += escaped;
    } else {
      url += c;
    }
  }
  return url;
}

void ReportFalsePositives(const Catalogue& catalogue, const std::string& path, std::size_t show) {
  vell::tools::LineSource source;
  if (!OpenLines(path, source)) return;
  Flags flags;
  std::size_t values = 0;
  std::string_view line;
  while (source.Next(&line)) {
    if (line.empty() || line[0] == '#') continue;
    ++values;
    const std::string url = QueryValueUrl(line);
    const Verdict verdict = Inspect(catalogue, url);
    if (verdict.Any()) flags.Add(verdict, url, show);
  }
  std::printf("\n### libinjection's false positives as query values: %s\n", path.c_str());
  flags.Print("Values", values);
}

// ---- Timing: the layer's cost per request, deep off and on, in the same run.

// Deep off: the catalogue on the raw URL, as the URL rules ask it.
bool InspectOff(const Catalogue& catalogue, std::string_view url) {
  vell::PatternSet::Scan scan = catalogue.set.ScanSubject(url);
  if (scan.NoneFound()) return false;
  bool any = false;
  for (std::size_t i = 0; i < catalogue.names.size(); ++i) any |= scan.Found(i);
  return any;
}

// Deep on: that, then every catalogue pattern on the decoded forms and every deep rule.
bool InspectOn(const Catalogue& catalogue, std::string_view url) {
  bool any = InspectOff(catalogue, url);
  DeepRequest request(url);
  for (std::size_t i = 0; i < catalogue.names.size(); ++i)
    any |= request.FindInForms(catalogue.set, i).has_value();
  for (std::size_t r = 0; r < vell::kDeepRuleCount; ++r)
    any |= request.Test(static_cast<vell::DeepRule>(r)).has_value();
  return any;
}

// 16 KB URLs that make each part of the layer work hardest: many arguments, long values of the
// bytes libinjection tokenizes, nested and long escapes, texts that start signatures over and over.
std::vector<std::pair<std::string, std::string>> AdversarialUrls() {
  constexpr std::size_t kSize = 16384;
  auto repeat = [](std::string_view prefix, std::string_view unit) {
    std::string url(prefix);
    while (url.size() + unit.size() <= kSize) url += unit;
    return url;
  };
  std::vector<std::pair<std::string, std::string>> urls = {
      // The module benchmark's own (bench/gen_corpus.py).
      {"path %0d", repeat("/", "%0d")},
      {"path %0d%0a", repeat("/", "%0d%0a")},
      {"path %5cx", repeat("/", "%5cx")},
      {"path a=", repeat("/", "a=")},
      {"path quotes", repeat("/", "'")},
      {"padded crlf injection",
       repeat("/?", "%0d").substr(0, kSize - 33) + "%0d%0aContent-Type:%20text/html"},
      // Each part of the deep layer at its hardest.
      {"many arguments", repeat("/?", "a=1&")},
      {"many names alone", repeat("/?", "a&")},
      {"empty pieces", repeat("/?", "&")},
      {"quotes", repeat("/?q=", "'")},
      {"sql tokens", repeat("/?q=", "1 or 1=1 ")},
      {"sql comments", repeat("/?q=", "/*")},
      {"tags", repeat("/?q=", "<a ")},
      {"attributes", repeat("/?q=", "\" onx=")},
      {"nested escapes", repeat("/?q=", "%25")},
      {"unicode escapes", repeat("/?q=", "%u2215")},
      {"overlong escapes", repeat("/?q=", "%c0%af")},
      {"raw overlong bytes", repeat("/?q=", "\xC0")},
      {"lax hex", repeat("/?q=", "%qf")},
      {"traversal", repeat("/?q=", "..%2f")},
      {"traversal in path", repeat("/", "%2e%2e%5c")},
      {"backslashes", repeat("/?q=", "\\")},
      {"separators", repeat("/?q=", "; ")},
      {"shell", repeat("/?q=", "$(")},
      {"system file prefixes", repeat("/?q=", "etc/")},
      {"line breaks", repeat("/?q=", "%0d%0a")},
      {"plus", repeat("/?q=", "+")},
  };
  // A payload at the end of a long harmless run.
  urls.push_back({"padded sqli", repeat("/?q=", "a").substr(0, kSize - 12) + "'%20or%201--"});
  return urls;
}

struct Timing {
  double p50 = 0, p99 = 0, max = 0, mean = 0;
};

// Each request's time is its median over `passes` passes, or its fastest pass with `fastest` (a
// lower bound that other load on the machine does not raise).
template <typename F>
Timing TimeEach(const std::vector<std::string>& urls, F inspect, int passes = 5, bool fastest = false) {
  std::vector<double> perRequest;
  perRequest.reserve(urls.size());
  std::vector<double> times(static_cast<std::size_t>(passes));
  for (const std::string& url : urls) {
    for (double& time : times) {
      const auto start = std::chrono::steady_clock::now();
      volatile bool sink = inspect(url);
      (void)sink;
      time = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    }
    std::sort(times.begin(), times.end());
    perRequest.push_back(fastest ? times.front() : times[times.size() / 2]);
  }
  Timing t;
  if (perRequest.empty()) return t;
  for (const double us : perRequest) t.mean += us / perRequest.size();
  std::sort(perRequest.begin(), perRequest.end());
  t.p50 = perRequest[perRequest.size() / 2];
  t.p99 = perRequest[perRequest.size() * 99 / 100];
  t.max = perRequest.back();
  return t;
}

void ReportTiming(const Catalogue& catalogue, const std::string& benign,
                  const std::vector<std::string>& attacks) {
  std::vector<std::pair<std::string, std::vector<std::string>>> corpora;
  if (!benign.empty()) {
    vell::tools::AccessLogReader reader;
    std::string error;
    if (reader.Open(benign, vell::tools::LogFormat::Unknown, &error)) {
      std::vector<std::string> urls;
      vell::tools::LogRequest request;
      while (reader.Next(&request)) urls.emplace_back(request.url);
      corpora.push_back({"benign", std::move(urls)});
    }
  }
  for (const std::string& path : attacks) {
    vell::tools::LineSource source;
    if (!OpenLines(path, source)) continue;
    std::vector<std::string> urls;
    std::string_view line;
    std::size_t n = 0;
    while (source.Next(&line)) {
      const std::size_t tab = line.rfind('\t');
      // Every tenth attack: enough for the distribution, a run stays short.
      if (line.empty() || line[0] == '#' || tab == std::string_view::npos || n++ % 10 != 0) continue;
      urls.emplace_back(line.substr(tab + 1));
    }
    corpora.push_back({"attacks (every 10th of " + path + ")", std::move(urls)});
  }
  double load[1] = {0};
  getloadavg(load, 1);
  std::printf(
      "\n### Time per request of the layer (microseconds, median of 5 passes per request; "
      "load average %.1f)\n\n",
      load[0]);
  std::printf(
      "Deep off: the full catalogue on the raw URL. Deep on: that, the catalogue on every decoded "
      "form and the five deep rules.\n\n");
  std::printf(
      "| corpus | requests | off p50 | off p99 | off mean | on p50 | on p99 | on mean | on max | on/off mean "
      "|\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
  auto off = [&](const std::string& url) { return InspectOff(catalogue, url); };
  auto on = [&](const std::string& url) { return InspectOn(catalogue, url); };
  for (const auto& [name, urls] : corpora) {
    const Timing a = TimeEach(urls, off), b = TimeEach(urls, on);
    std::printf("| %s | %zu | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.1f | %.1fx |\n", name.c_str(),
                urls.size(), a.p50, a.p99, a.mean, b.p50, b.p99, b.mean, b.max,
                a.mean > 0 ? b.mean / a.mean : 0.0);
  }
  std::printf(
      "\n16 KB adversarial URLs (microseconds, fastest of 11 passes):\n\n"
      "| input | bytes | off | on |\n|---|---|---|---|\n");
  for (const auto& [name, url] : AdversarialUrls()) {
    const Timing a = TimeEach({url}, off, 11, true), b = TimeEach({url}, on, 11, true);
    std::printf("| %s | %zu | %.1f | %.1f |\n", name.c_str(), url.size(), a.max, b.max);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> attacks;
  std::string benign, falsePositives;
  std::size_t show = 0;
  bool timing = false;
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
    } else if (arg == "--timing") {
      timing = true;
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
  if (timing) ReportTiming(catalogue, benign, attacks);
  return 0;
}
