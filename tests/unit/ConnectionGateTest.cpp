// What the per-address cap counts as one address, the caps themselves, and
// the address forms the server reads (--listen) and writes in its notices.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/Net.h"
#include "room/Console.h"
#include "server/ConnectionGate.h"

namespace saferoom {

namespace {

IpAddress Ip(const std::string& text) {
  IpAddress ip;
  EXPECT_TRUE(ParseIpAddress(text, ip)) << text;
  return ip;
}

TEST(IpAddress, LiteralsInTheirStandardFormMappedOnesAsIpv4) {
  const struct {
    const char* text;
    bool valid;
    bool v6;
    const char* written;
  } kCases[] = {
      {"127.0.0.1", true, false, "127.0.0.1"},
      {"[::1]", true, true, "::1"},
      {"[::]", true, true, "::"},
      // RFC 5952: lower case, the longest run of zero groups (the first of
      // equal ones) as ::.
      {"2001:DB8:0:0:0:0:0:1", true, true, "2001:db8::1"},
      {"2001:db8:0:0:1:0:0:1", true, true, "2001:db8::1:0:0:1"},
      // How a dual-stack listener sees an IPv4 client.
      {"::ffff:192.0.2.1", true, false, "192.0.2.1"},
      {"1.2.3", false, false, ""},
      {"localhost", false, false, ""},
      {"[127.0.0.1]", false, false, ""},
      {"[::1", false, false, ""},
      {"fe80::1%lo", false, false, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    IpAddress ip;
    ASSERT_EQ(ParseIpAddress(c.text, ip), c.valid);
    if (!c.valid) continue;
    EXPECT_EQ(ip.v6, c.v6);
    EXPECT_EQ(IpAddressText(ip), c.written);
  }
  EXPECT_TRUE(IsAnyAddress(Ip("::")) && IsAnyAddress(Ip("0.0.0.0")));
  EXPECT_FALSE(IsAnyAddress(Ip("::1")) || IsAnyAddress(Ip("0.0.0.1")));
}

TEST(AddressKey, Ipv4ByAddressIpv6ByItsSlash64LinkLocalByAddress) {
  const struct {
    const char* address;
    const char* key;
  } kCases[] = {
      {"192.0.2.1", "192.0.2.1"},
      // The same client through a dual-stack listener counts the same.
      {"::ffff:192.0.2.1", "192.0.2.1"},
      {"2001:db8::1", "2001:db8::/64"},
      {"2001:db8::ffff:ffff:ffff:ffff", "2001:db8::/64"},
      {"2001:db8:0:1::1", "2001:db8:0:1::/64"},
      {"::1", "::/64"},
      // fe80::/10: every link has the same prefix.
      {"fe80::1", "fe80::1"},
      {"fec0::1", "fec0::/64"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(AddressKey(Ip(c.address)), c.key);
  }
}

// Places are counted per address key and in all, and given back on release;
// a refusal takes no place.
TEST(ConnectionGate, CapsPerAddressAndGivesPlacesBack) {
  Console console;  // no writer: the refusal lines wait unread
  ConnectionGate gate(console);
  std::vector<uint64_t> ids;
  for (int i = 0; i < kMaxPerAddress; ++i)
    ids.push_back(AdmitConnection(gate, "2001:db8::/64", "p"));
  EXPECT_EQ(std::count(ids.begin(), ids.end(), 0u), 0);
  EXPECT_EQ(AdmitConnection(gate, "2001:db8::/64", "p"), 0u);
  const uint64_t other = AdmitConnection(gate, "192.0.2.1", "p");
  EXPECT_NE(other, 0u);
  EXPECT_EQ(gate.open, kMaxPerAddress + 1);
  ReleaseConnection(gate, ids.back());
  ReleaseConnection(gate, ids.back());  // twice: counted once
  EXPECT_EQ(gate.open, kMaxPerAddress);
  EXPECT_NE(AdmitConnection(gate, "2001:db8::/64", "p"), 0u);
  EXPECT_EQ(AdmitConnection(gate, "2001:db8::/64", "p"), 0u);
  ReleaseConnection(gate, other);
  EXPECT_EQ(gate.perAddress.count("192.0.2.1"), 0u);
}

}  // namespace

}  // namespace saferoom
