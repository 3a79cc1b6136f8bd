#include <gtest/gtest.h>

#include "config/rule_parsers.h"
#include "inspect/exclusions.h"

namespace vell {
namespace {

struct RangeCase {
  const char* range;
  const char* address;
  bool contains;
};

const RangeCase kRanges[] = {
    // IPv4: single addresses and prefixes.
    {"10.0.0.5", "10.0.0.5", true},
    {"10.0.0.5", "10.0.0.50", false},
    {"10.0.0.0/8", "10.255.1.2", true},
    {"10.0.0.0/8", "11.0.0.1", false},
    {"192.168.4.0/22", "192.168.7.255", true},
    {"192.168.4.0/22", "192.168.8.0", false},
    {"0.0.0.0/0", "203.0.113.9", true},
    // An IPv4 range matches the IPv4-mapped form a dual-stack server reports, and only that.
    {"192.0.2.0/24", "::ffff:192.0.2.1", true},
    {"192.0.2.0/24", "2001:db8::c000:201", false},
    {"0.0.0.0/0", "2001:db8::1", false},
    // IPv6: compressed forms, a zone, an IPv4 tail, letter case.
    {"2001:db8::/32", "2001:DB8:0:1::7", true},
    {"2001:db8::/32", "2001:db9::1", false},
    {"fe80::/10", "fe80::1%eth0", true},
    {"::1", "0:0:0:0:0:0:0:1", true},
    {"::/0", "::ffff:10.0.0.1", true},
    {"2001:db8::10.0.0.1", "2001:db8::a00:1", true},
    // What is not an address never matches.
    {"10.0.0.0/8", "10.0.0", false},
    {"10.0.0.0/8", "", false},
    {"10.0.0.0/8", "client.example.com", false},
    {"10.0.0.0/8", "10.0.0.256", false},
    {"::/0", "1::2::3", false},
};

TEST(AddressRange, Table) {
  for (const RangeCase& c : kRanges) {
    SCOPED_TRACE(std::string(c.range) + " ~ " + c.address);
    const auto range = ParseAddressRange(c.range);
    ASSERT_TRUE(range.has_value());
    const auto address = ParseIpAddress(c.address);
    EXPECT_EQ(address && RangeContains(*range, *address), c.contains);
  }
}

TEST(AddressRange, BadRangesDoNotParse) {
  for (const char* text : {"10.0.0.0/33", "10.0.0.0/", "10.0.0.0/8/8", "10.0.0.0/08", "::/129",
                           "1.2.3.4.5", "01.2.3.4", "12345::", "2001:db8", "*", "10.0.0.*"}) {
    EXPECT_FALSE(ParseAddressRange(text).has_value()) << text;
  }
}

TEST(ParseExclusion, TokensAndUnknowns) {
  const Exclusion e =
      ParseExclusion("rules:MetaChar SQLInjection1, url: ^/a,b , client:10.0.0.0/8 ::1,host:a.example,"
                     "method:GET HEAD");
  EXPECT_EQ(e.rules, (std::vector<std::string>{"MetaChar", "SQLInjection1"}));
  EXPECT_TRUE(e.hasUrl);
  EXPECT_EQ(e.urlPattern, "^/a");
  EXPECT_EQ(e.clients, (std::vector<std::string>{"10.0.0.0/8", "::1"}));
  EXPECT_EQ(e.hosts, (std::vector<std::string>{"a.example"}));
  EXPECT_EQ(e.methods, (std::vector<std::string>{"GET", "HEAD"}));
  // "b" is what is left of the URL pattern after its ",": a token the grammar does not know.
  EXPECT_EQ(e.unknownTokens, (std::vector<std::string>{"b"}));
  // An empty list is not "any": it is an unknown token too, so the line never applies.
  EXPECT_EQ(ParseExclusion("rules:*,client:").unknownTokens, (std::vector<std::string>{"client:"}));
  EXPECT_FALSE(CompileExclusion(ParseExclusion("rules:*,client:")).usable);
  EXPECT_FALSE(CompileExclusion(ParseExclusion("url:^/a")).usable);
  EXPECT_TRUE(CompileExclusion(ParseExclusion("rules:*")).allRules);
}

}  // namespace
}  // namespace vell
