// Exclude lines compiled for the request path: which rules each one takes away, and the test of
// its conditions on one request. An exclusion only ever removes rules; it never decides anything.
#ifndef VELL_INSPECT_EXCLUSIONS_H_
#define VELL_INSPECT_EXCLUSIONS_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/rule_records.h"
#include "pattern/pattern.h"

namespace vell {

// An IPv4 or IPv6 address as 16 bytes; IPv4 addresses are held IPv4-mapped (::ffff:a.b.c.d), so
// that an IPv4 range also matches the mapped form a dual-stack server may report.
using IpAddress = std::array<uint8_t, 16>;

// The address written as dotted IPv4 or as IPv6 (with "::", an IPv4 tail, and a "%zone" that is
// ignored); nothing for anything else.
std::optional<IpAddress> ParseIpAddress(std::string_view text);

struct AddressRange {
  IpAddress address{};
  int bits = 128;  // leading bits that must be equal
};

// "ADDRESS" or "ADDRESS/BITS" (0-32 for IPv4, 0-128 for IPv6); nothing when it does not parse.
std::optional<AddressRange> ParseAddressRange(std::string_view text);
bool RangeContains(const AddressRange& range, const IpAddress& address);

// One Exclude line, ready to test.
struct CompiledExclusion {
  // False when the line holds a token the grammar does not know or names no rule: it never
  // applies.
  bool usable = true;
  bool allRules = false;
  CompiledPatternPtr url;  // null: no URL condition
  bool hasClients = false;
  std::vector<AddressRange> clients;  // the ranges that parsed
  std::vector<std::string> hosts;
  std::vector<std::string> methods;
};

CompiledExclusion CompileExclusion(const Exclusion& exclusion);

// The request values an exclusion's conditions read, each asked for only when a condition needs
// it.
class ExclusionSubject {
 public:
  virtual ~ExclusionSubject() = default;
  virtual const std::string& Url() = 0;
  virtual const std::string& ClientAddress() = 0;
  virtual const std::string& ServerName() = 0;
  virtual const std::string& Method() = 0;
};

// Whether every condition of the exclusion holds for the request.
bool ExclusionApplies(const CompiledExclusion& exclusion, ExclusionSubject& request);

}  // namespace vell

#endif  // VELL_INSPECT_EXCLUSIONS_H_
