// The built-in attack signatures and metacharacter patterns: constant tables that exist from load on.
#ifndef VELL_CONFIG_SIGNATURES_H_
#define VELL_CONFIG_SIGNATURES_H_

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "config/rule_records.h"

namespace vell {

struct BuiltInSignature {
  const char* name;
  const char* pattern;
};

inline constexpr std::size_t kSignatureCount = 14;
inline constexpr std::size_t kMetaCharCount = 8;

extern const std::array<BuiltInSignature, kSignatureCount> SignatureCatalogue;
// Entry i is switched on by bit i of a "MetaChar" rule's enableMask.
extern const std::array<const char*, kMetaCharCount> MetaCharPatterns;

// The catalogue entry with exactly this name (same letter case), or nullptr.
const BuiltInSignature* FindSignature(const std::string& name);

// Gives every rule that names a catalogue signature that signature's pattern; other rules are
// left as they are.
void ResolveSignatures(std::vector<BuiltinRule>& bFilters);

}  // namespace vell

#endif  // VELL_CONFIG_SIGNATURES_H_
