// The fourteen named attack signatures and the eight metacharacter patterns, character for character.
#include "config/signatures.h"

namespace vell {

const std::array<BuiltInSignature, kSignatureCount> SignatureCatalogue = {{
    {"SQLInjection1", R"(((%27)|('))((%20)|(\s))?union)"},
    {"SQLInjection2", R"(w*((%27)|('))((%20)|(\s))?((%6F)|o|(%4F))((%72)|r|(%52)))"},
    {"SQLInjection3", R"(exec((%20)|(\s))+(s|x)p)"},
    {"SQLInjection4", R"([^\n]+((%3D)|(=))((%27)|(')|(--)|(%3B)|(;)|(%23)|(#)))"},
    {"ShellCode1", R"(((\\)|(%5c))((%78)|(x)|(%58))((%65)|(e)|(%45))((%62)|(b)|(%42)))"},
    {"ShellCode2", R"((((\\)|(%5c))((%78)|(x)|(%58))(90)))"},
    {"ShellCode3", R"((((((\\)|(%5c))((%78)|(x)|(%58))(([0-9a-z]){2}))))+)"},
    {"URLSplit1", R"((%0d)+(%0a)+content(-)type(:))"},
    {"URLSplit2", R"((((%0d)+)((%0a)+))+content(-))"},
    {"URLSplit3", R"((((%0d)+)((%0a)+))+http(/)([0-1]{0,1})(\.)([0-1]{0,1}))"},
    {"DirectoryTraversal", R"(((%5c)|(/)|(%2f)|(\\))((\.\.)|(%2e%2e)))"},
    {"ServerSideInclude", R"(((%3C)|(<))((!)|(%21))((-)|(%2D))((-)|(%2D))+(\s)*((#)|(%23)))"},
    {"commandExe", R"((system32/cmd(\.)exe)|(root(\.)exe))"},
    {"CodeRed", R"(^/default(\.)ida)"},
}};

const std::array<const char*, kMetaCharCount> MetaCharPatterns = {{
    R"((%3B)|(;))",
    R"((%7c)|(\|))",
    R"((%21)|(!))",
    R"(%00)",
    R"((\%24)|(\$))",
    R"((%40)|(@))",
    R"((%0a)|(%0d))",
    R"((%1b)|(%08)|(%7f))",
}};

const BuiltInSignature* FindSignature(const std::string& name) {
  for (const BuiltInSignature& signature : SignatureCatalogue) {
    if (name == signature.name) return &signature;
  }
  return nullptr;
}

void ResolveSignatures(std::vector<BuiltinRule>& bFilters) {
  for (BuiltinRule& rule : bFilters) {
    if (const BuiltInSignature* signature = FindSignature(rule.name)) rule.pattern = signature->pattern;
  }
}

}  // namespace vell
