#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <support/endpoint.h>

#include <climits>
#include <string>

namespace {

struct parsed {
  int rc;
  sockaddr_in address;
};

parsed parse(const std::string &text) {
  parsed p;
  p.rc = parse_endpoint(text.c_str(), &p.address);
  return p;
}

// What is taken: the port (0 without a colon; text after it ignored,
// however many leading zeros), the address, and nothing else set.
TEST(ParseEndpoint, AcceptsPortsAtBothEndsOfTheRange) {
  const struct {
    std::string text;
    int port;
  } cases[] = {{"10.1.2.3:1024", 1024},    {"10.1.2.3:65535", 65535},
               {"10.1.2.3:5000", 5000},    {"10.1.2.3", 0},
               {"10.1.2.3:2000abc", 2000}, {"10.1.2.3:0000000000000000000005000x", 5000}};
  for (const auto &c : cases) {
    parsed p = parse(c.text);
    ASSERT_EQ(p.rc, 0) << c.text;
    EXPECT_EQ(p.address.sin_family, AF_INET) << c.text;
    EXPECT_EQ(ntohs(p.address.sin_port), c.port) << c.text;
    EXPECT_EQ(p.address.sin_addr.s_addr, inet_addr("10.1.2.3")) << c.text;
    for (unsigned char zero : p.address.sin_zero) EXPECT_EQ(zero, 0) << c.text;
  }
}

TEST(ParseEndpoint, RejectsBadPortsAndAddresses) {
  // 4294972296 is 5000 modulo 2^32: it must not pass as port 5000. Only the
  // first 63 characters are read: 9 + 54 end inside the zeros, port 0.
  for (const std::string &text : std::initializer_list<std::string>{
           "10.1.2.3:1023", "10.1.2.3:65536", "10.1.2.3:0", "10.1.2.3:abc",
           "10.1.2.3:", "10.1.2.3:-5000", "10.1.2.3:4294972296",
           "10.1.2.3:99999999999999999999999999", "255.255.255.255:2000", "host:2000", "", ":2000",
           "1.2.3.4.5", "10.1.2.3:" + std::string(54, '0') + "5000"}) {
    EXPECT_EQ(parse(text).rc, -1) << text;
  }
  EXPECT_EQ(parse("10.1.2.3:" + std::string(50, '0') + "5000").rc, 0);
}

TEST(ParseInt, MatchesAtoiForValuesThatFit) {
  for (const char *text : {"0", "42", "-1", "  17", "+8", "12abc", "abc", "", "-2147483648",
                           "2147483647", "\t-0009", "- 5"}) {
    EXPECT_EQ(parse_int(text), std::atoi(text)) << '"' << text << '"';
  }
}

TEST(ParseInt, SaturatesBeyondInt) {
  EXPECT_EQ(parse_int("2147483648"), INT_MAX);
  EXPECT_EQ(parse_int("99999999999999999999999"), INT_MAX);
  EXPECT_EQ(parse_int("-2147483649"), INT_MIN);
  EXPECT_EQ(parse_int("-99999999999999999999999"), INT_MIN);
}

TEST(ParseU32Base0, ReadsAs32BitStrtoul) {
  const char *end = nullptr;
  const char *text = "0x3e8-5";
  EXPECT_EQ(parse_u32_base0(text, &end), 1000u);
  EXPECT_EQ(end, text + 5);
  EXPECT_EQ(parse_u32_base0("010", nullptr), 8u);
  EXPECT_EQ(parse_u32_base0("-1000", nullptr), 4294966296u);
  EXPECT_EQ(parse_u32_base0("4294967296", nullptr), 4294967295u);
  EXPECT_EQ(parse_u32_base0("-99999999999999999999999", nullptr), 4294967295u);
  text = "  +x";
  EXPECT_EQ(parse_u32_base0(text, &end), 0u);
  EXPECT_EQ(end, text);  // no number: end stays at the start
  EXPECT_EQ(parse_u32_base0("- 5", nullptr), 0u);
}

}  // namespace
