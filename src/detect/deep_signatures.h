// The deep layer's own signatures: short linear-time patterns for what decoding and libinjection
// still let through. Each belongs to one deep rule and is tried on decoded texts only (a decoded
// path, an argument's decoded name or value), never on the raw URL.
#ifndef VELL_DETECT_DEEP_SIGNATURES_H_
#define VELL_DETECT_DEEP_SIGNATURES_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace re2 {
class RE2;
}  // namespace re2

namespace vell {

// The deep rules an operator names in config.ini ("DeepSQLi", ...).
enum class DeepRule : uint8_t { kSQLi, kXSS, kTraversal, kCommand, kCRLF };
inline constexpr std::size_t kDeepRuleCount = 5;

// "DeepSQLi", "DeepXSS", "DeepTraversal", "DeepCommand", "DeepCRLF".
const char* DeepRuleName(DeepRule rule);
// The rule with exactly this name (same letter case), or nothing.
std::optional<DeepRule> FindDeepRule(std::string_view name);

// Where a signature may match: any decoded text, or only the start of an argument's value (a
// value that is a path, a URI, ...).
enum class SignatureScope : uint8_t { kAnyText, kValue };

// Bytes that most texts are made of: letters, digits, "_", "-", ".", "/", the space and every byte
// from 0x80 up (UTF-8). Few signatures can match a text made only of them, and those only where it
// holds one of a few words, so such a text needs no pattern run unless it holds one.
bool IsPlainTextByte(unsigned char c);

struct DeepSignature {
  const char* name;
  DeepRule rule;
  SignatureScope scope;
  const char* pattern;  // RE2 syntax, matched with letter case ignored, bytes as Latin-1
  // What every match made only of plain bytes (IsPlainTextByte) contains, letter case ignored:
  // texts separated by "|", each at least two bytes long, or "^text" (one byte or more) for one
  // that begins the text after any spaces. Empty when every match holds some other byte. The matcher skips a plain text
  // that holds none of these texts for any signature, so a signature whose pattern changes must
  // have its list checked again (tests/detect/deep_signatures_test.cc tries each).
  const char* plain;
};

inline constexpr std::size_t kDeepSignatureCount = 17;
extern const std::array<DeepSignature, kDeepSignatureCount> DeepSignatures;

// Bit i stands for DeepSignatures[i].
using SignatureMask = uint32_t;

// Every signature compiled once, for one pass per text. Immutable after construction; safe to use
// from any number of threads.
class DeepSignatureMatcher {
 public:
  DeepSignatureMatcher();
  ~DeepSignatureMatcher();
  DeepSignatureMatcher(const DeepSignatureMatcher&) = delete;
  DeepSignatureMatcher& operator=(const DeepSignatureMatcher&) = delete;

  // The signatures that occur in text. With isValue false, kValue signatures are left out. One
  // pass over text for all of them; linear time whatever the text. A text of plain bytes that
  // holds none of the signatures' plain texts (DeepSignature::plain) is answered without a pattern
  // run, when it is no longer than kQuickCheckMaxLength: on a longer text the quick check costs
  // about what the patterns' pass does, and would come on top of it when it cannot rule them out.
  SignatureMask Match(std::string_view text, bool isValue) const;
  static constexpr std::size_t kQuickCheckMaxLength = 1024;

  // False only when no signature can occur in text (a Match that would find nothing): the quick
  // check that Match makes first.
  bool MayMatch(std::string_view text, bool isValue) const;

  // MayMatch in two halves, for a caller that has texts of plain bytes side by side, separated by
  // bytes that are not plain (a URL's path, names and values between "?", "&" and "="): false from
  // both for each text means MayMatch is false for each. HoldsPlainText looks for the plain texts
  // found anywhere, each between two bytes that are not plain, for values and other texts alike;
  // BeginsWithPlainText for those that must begin a text, on one text.
  bool HoldsPlainText(std::string_view texts) const;
  bool BeginsWithPlainText(std::string_view text, bool isValue) const;

  struct Span {
    std::size_t begin;
    std::size_t end;
  };
  // Where signature `index` first occurs in text (for reports), or nothing.
  std::optional<Span> Find(std::size_t index, std::string_view text) const;

  // The signatures of one rule.
  SignatureMask RuleMask(DeepRule rule) const { return ruleMasks_[static_cast<std::size_t>(rule)]; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::array<SignatureMask, kDeepRuleCount> ruleMasks_{};
  SignatureMask valueOnly_ = 0;
};

// The matcher of the built-in signatures, compiled on first use (a rule set with deep rules asks
// for it when it is compiled, so that no request waits for it).
const DeepSignatureMatcher& BuiltInDeepSignatures();

}  // namespace vell

#endif  // VELL_DETECT_DEEP_SIGNATURES_H_
