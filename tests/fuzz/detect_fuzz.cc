// Fuzzes the deep-inspection layer: any bytes as a request target go through the URL decoder, the
// argument splitter and every deep rule, and the catalogue's patterns are looked for in the decoded
// forms. Nothing may crash or leak, and the decoder keeps its bounds: at most kMaxUrlForms forms,
// none longer than the URL, the raw URL first.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/signatures.h"
#include "detect/arguments.h"
#include "detect/deep_request.h"
#include "detect/url_forms.h"
#include "pattern/pattern_set.h"

namespace {

const vell::PatternSet& Catalogue() {
  static const vell::PatternSet set = [] {
    std::vector<vell::CompiledPatternPtr> patterns;
    for (const auto& signature : vell::SignatureCatalogue) {
      patterns.push_back(std::make_shared<const vell::CompiledPattern>(signature.pattern));
    }
    return vell::PatternSet(std::move(patterns));
  }();
  return set;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string url(reinterpret_cast<const char*>(data), size);
  const std::vector<vell::UrlForm> forms = vell::DecodeUrlForms(url);
  if (forms.empty() || forms.size() > vell::kMaxUrlForms || forms[0].text != url) std::abort();
  for (const vell::UrlForm& form : forms) {
    if (form.text.size() > url.size()) std::abort();
  }
  const std::size_t query = url.find('?');
  if (query != std::string::npos) vell::SplitArguments(std::string_view(url).substr(query + 1));

  vell::DeepRequest deep(url);
  for (std::size_t rule = 0; rule < vell::kDeepRuleCount; ++rule) {
    if (const auto finding = deep.Test(static_cast<vell::DeepRule>(rule))) {
      if (finding->begin > finding->end || finding->end > finding->text.size()) std::abort();
      finding->Describe();
    }
  }
  for (std::size_t i = 0; i < Catalogue().size(); ++i) deep.FindInForms(Catalogue(), i);
  return 0;
}
