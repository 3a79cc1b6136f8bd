// Exclude lines: address ranges, and the test of a line's conditions on one request.
#include "inspect/exclusions.h"

#include <cctype>

namespace vell {

namespace {

// A decimal number of at most `digits` digits, no sign, no leading zeros but "0" itself.
std::optional<unsigned> ParseDecimal(std::string_view text, std::size_t digits) {
  if (text.empty() || text.size() > digits || (text.size() > 1 && text[0] == '0')) return {};
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return {};
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value;
}

std::optional<std::array<uint8_t, 4>> ParseIpv4(std::string_view text) {
  std::array<uint8_t, 4> out{};
  for (std::size_t part = 0; part < 4; ++part) {
    const std::size_t dot = text.find('.');
    const bool last = part == 3;
    if (last != (dot == std::string_view::npos)) return {};
    const auto value = ParseDecimal(text.substr(0, dot), 3);
    if (!value || *value > 255) return {};
    out[part] = static_cast<uint8_t>(*value);
    if (!last) text.remove_prefix(dot + 1);
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Groups of up to four hex digits separated by ":", the last two groups optionally written as
// an IPv4 address; appends them as bytes. False when a group does not parse.
bool ParseIpv6Groups(std::string_view text, std::vector<uint8_t>& bytes) {
  if (text.empty()) return true;
  while (true) {
    const std::size_t colon = text.find(':');
    const std::string_view group = text.substr(0, colon);
    if (colon == std::string_view::npos && group.find('.') != std::string_view::npos) {
      const auto v4 = ParseIpv4(group);
      if (!v4) return false;
      bytes.insert(bytes.end(), v4->begin(), v4->end());
      return true;
    }
    if (group.empty() || group.size() > 4) return false;
    unsigned value = 0;
    for (char c : group) {
      const int digit = HexDigit(c);
      if (digit < 0) return false;
      value = value * 16 + static_cast<unsigned>(digit);
    }
    bytes.push_back(static_cast<uint8_t>(value >> 8));
    bytes.push_back(static_cast<uint8_t>(value & 0xFF));
    if (colon == std::string_view::npos) return true;
    text.remove_prefix(colon + 1);
  }
}

std::optional<IpAddress> ParseIpv6(std::string_view text) {
  const std::size_t gap = text.find("::");
  std::vector<uint8_t> head;
  std::vector<uint8_t> tail;
  if (gap == std::string_view::npos) {
    if (!ParseIpv6Groups(text, head) || head.size() != 16) return {};
  } else {
    if (text.find("::", gap + 1) != std::string_view::npos) return {};
    if (!ParseIpv6Groups(text.substr(0, gap), head) ||
        !ParseIpv6Groups(text.substr(gap + 2), tail) || head.size() + tail.size() > 14) {
      return {};
    }
  }
  IpAddress out{};
  std::copy(head.begin(), head.end(), out.begin());
  std::copy(tail.begin(), tail.end(), out.end() - static_cast<std::ptrdiff_t>(tail.size()));
  return out;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<IpAddress> ParseIpAddress(std::string_view text) {
  if (text.find(':') == std::string_view::npos) {
    const auto v4 = ParseIpv4(text);
    if (!v4) return {};
    IpAddress out{};
    out[10] = out[11] = 0xFF;
    std::copy(v4->begin(), v4->end(), out.begin() + 12);
    return out;
  }
  const std::size_t zone = text.find('%');
  if (zone != std::string_view::npos) text = text.substr(0, zone);
  return ParseIpv6(text);
}

std::optional<AddressRange> ParseAddressRange(std::string_view text) {
  const std::size_t slash = text.find('/');
  const bool v4 = text.substr(0, slash).find(':') == std::string_view::npos;
  const auto address = ParseIpAddress(text.substr(0, slash));
  if (!address) return {};
  AddressRange range;
  range.address = *address;
  if (slash == std::string_view::npos) return range;
  const auto bits = ParseDecimal(text.substr(slash + 1), 3);
  if (!bits || *bits > (v4 ? 32u : 128u)) return {};
  range.bits = static_cast<int>(*bits) + (v4 ? 96 : 0);
  return range;
}

bool RangeContains(const AddressRange& range, const IpAddress& address) {
  for (int bit = 0; bit < range.bits; bit += 8) {
    const int width = range.bits - bit < 8 ? range.bits - bit : 8;
    const auto mask = static_cast<uint8_t>(0xFF << (8 - width));
    const std::size_t byte = static_cast<std::size_t>(bit / 8);
    if ((range.address[byte] & mask) != (address[byte] & mask)) return false;
  }
  return true;
}

CompiledExclusion CompileExclusion(const Exclusion& exclusion) {
  CompiledExclusion out;
  out.usable = exclusion.unknownTokens.empty() && !exclusion.rules.empty();
  for (const std::string& rule : exclusion.rules) out.allRules = out.allRules || rule == "*";
  if (exclusion.hasUrl) out.url = std::make_shared<const CompiledPattern>(exclusion.urlPattern);
  out.hasClients = !exclusion.clients.empty();
  for (const std::string& client : exclusion.clients) {
    if (const auto range = ParseAddressRange(client)) out.clients.push_back(*range);
  }
  out.hosts = exclusion.hosts;
  out.methods = exclusion.methods;
  return out;
}

bool ExclusionApplies(const CompiledExclusion& exclusion, ExclusionSubject& request) {
  if (!exclusion.usable) return false;
  if (!exclusion.methods.empty()) {
    bool any = false;
    for (const std::string& method : exclusion.methods) any = any || method == request.Method();
    if (!any) return false;
  }
  if (!exclusion.hosts.empty()) {
    bool any = false;
    for (const std::string& host : exclusion.hosts) {
      any = any || EqualIgnoringCase(host, request.ServerName());
    }
    if (!any) return false;
  }
  if (exclusion.hasClients) {
    const auto address = ParseIpAddress(request.ClientAddress());
    bool any = false;
    for (const AddressRange& range : exclusion.clients) {
      any = any || (address && RangeContains(range, *address));
    }
    if (!any) return false;
  }
  return exclusion.url == nullptr || exclusion.url->Search(request.Url());
}

}  // namespace vell
