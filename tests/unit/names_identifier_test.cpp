#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "adapters_host_internal.h"
#include "adapters_id_internal.h"

namespace {

using zok::adapters::Adapter;
using zok::adapters::ByMac;
using zok::adapters::BySerial;
using zok::adapters::Link;
using zok::adapters::Mac;

Mac mac_of(const char *text) {
  auto mac = zok::adapters::parse_mac(text);
  EXPECT_TRUE(mac.has_value()) << text;
  return mac.value_or(Mac{});
}

TEST(AdapterIdentifier, ReadsMacsInEitherCaseAndDecimalSerialsUpToThreeOctets) {
  const Mac mac{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB};
  for (const char *text : {"M=01:23:45:67:89:AB", "M=01:23:45:67:89:ab", "M=01:23:45:67:89:aB"}) {
    const auto id = zok::adapters::parse_identifier(text);
    ASSERT_TRUE(id.has_value() && std::holds_alternative<ByMac>(*id)) << text;
    EXPECT_EQ(std::get<ByMac>(*id).mac, mac) << text;
  }
  const std::pair<const char *, std::uint32_t> serials[] = {
      {"S=0", 0}, {"S=123456", 123456}, {"S=000123", 123}, {"S=16777215", 0xFFFFFF}};
  for (const auto &[text, serial] : serials) {
    const auto id = zok::adapters::parse_identifier(text);
    ASSERT_TRUE(id.has_value() && std::holds_alternative<BySerial>(*id)) << text;
    EXPECT_EQ(std::get<BySerial>(*id).serial, serial) << text;
  }
  const char *refused[] = {"",
                           "M",
                           "S",
                           "M=",
                           "S=",
                           "X=1",
                           "m=01:23:45:67:89:AB",
                           "s=1",
                           "M=01:23",
                           "M=01:23:45:67:89:AB:",
                           "M=01:23:45:67:89:A",
                           "M=01:23:45:67:89:ABC",
                           "M=01-23-45-67-89-AB",
                           "M=0g:23:45:67:89:AB",
                           "M=1:23:45:67:89:AB0",
                           " M=01:23:45:67:89:AB",
                           "M=01:23:45:67:89:AB ",
                           "M= 01:23:45:67:89:A",
                           "S=abc",
                           "S=12a",
                           "S=-1",
                           "S=+1",
                           "S= 1",
                           "S=1 ",
                           "S=16777216",
                           "S=4294967296",
                           "S=99999999999999999999999",
                           "S=0x10",
                           "S:1",
                           "=1"};
  for (const char *text : refused) {
    EXPECT_FALSE(zok::adapters::parse_identifier(text).has_value()) << '"' << text << '"';
  }
}

TEST(AdapterIdentifier, SerialIsTheLastThreeOctetsAndAddressesPrintInLowerCase) {
  EXPECT_EQ(zok::adapters::serial_of(mac_of("00:00:00:00:00:00")), 0u);
  EXPECT_EQ(zok::adapters::serial_of(mac_of("01:23:45:67:89:ab")), 0x6789ABu);
  EXPECT_EQ(zok::adapters::serial_of(mac_of("ff:ff:ff:00:00:01")), 1u);
  EXPECT_EQ(zok::adapters::serial_of(mac_of("00:00:00:ff:ff:ff")), 0xFFFFFFu);
  // Addresses are written in lower case.
  EXPECT_EQ(zok::adapters::format_mac(mac_of("0A:1b:C2:d3:E4:f5")), "0a:1b:c2:d3:e4:f5");
  EXPECT_EQ(zok::adapters::format_mac(Mac{}), "00:00:00:00:00:00");
}

TEST(HostAdapters, InterfacesSharingAnAddressAreOneAdapterNamedByTheFirst) {
  const Mac port = mac_of("02:00:00:00:00:01");
  const Mac other = mac_of("02:00:00:00:00:02");
  // Listed out of index order, as nothing promises otherwise.
  const auto adapters = zok::adapters::group_links(
      {{7, "eth0.100", port}, {1, "lo", Mac{}}, {3, "eth1", other}, {2, "eth0", port}});
  ASSERT_EQ(adapters.size(), 3u);
  EXPECT_EQ(adapters[0].interface_name, "lo");
  EXPECT_EQ(adapters[1].interface_name, "eth0");
  EXPECT_EQ(adapters[1].mac, port);
  EXPECT_EQ(adapters[2].interface_name, "eth1");
}

TEST(HostAdapters, FindsByAddressOrSerialAndRefusesWhatIsNotThere) {
  const std::vector<Adapter> adapters = {
      {Mac{}, "lo"}, {mac_of("02:fc:00:12:34:56"), "eth0"}, {mac_of("7e:6e:61:7b:01:99"), "eth1"}};
  Adapter found;
  ASSERT_EQ(zok::adapters::find_adapter(adapters, ByMac{mac_of("02:FC:00:12:34:56")}, found), 0);
  EXPECT_EQ(found.interface_name, "eth0");
  ASSERT_EQ(zok::adapters::find_adapter(adapters, BySerial{0x7b0199}, found), 0);
  EXPECT_EQ(found.interface_name, "eth1");
  ASSERT_EQ(zok::adapters::find_adapter(adapters, BySerial{0}, found), 0);
  EXPECT_EQ(found.interface_name, "lo");

  found = Adapter{};
  EXPECT_EQ(zok::adapters::find_adapter(adapters, ByMac{mac_of("02:fc:00:12:34:57")}, found),
            ENODEV);
  EXPECT_EQ(zok::adapters::find_adapter(adapters, BySerial{0x123457}, found), ENODEV);
  EXPECT_EQ(zok::adapters::find_adapter({}, BySerial{0}, found), ENODEV);
  EXPECT_TRUE(found.interface_name.empty());
}

TEST(HostAdapters, RefusesASerialThatTwoVendorsShare) {
  const std::vector<Adapter> adapters = {{mac_of("00:11:22:33:44:55"), "eth0"},
                                         {mac_of("66:77:88:33:44:55"), "eth1"}};
  Adapter found;
  EXPECT_EQ(zok::adapters::find_adapter(adapters, BySerial{0x334455}, found), ENOTUNIQ);
  // The address still tells them apart.
  ASSERT_EQ(zok::adapters::find_adapter(adapters, ByMac{mac_of("66:77:88:33:44:55")}, found), 0);
  EXPECT_EQ(found.interface_name, "eth1");
}

TEST(HostAdapters, TheHostListsLoopbackAsAllZeroAddress) {
  std::vector<Adapter> adapters;
  ASSERT_EQ(zok::adapters::list_host_adapters(adapters), 0);
  Adapter found;
  ASSERT_EQ(zok::adapters::find_adapter(adapters, ByMac{Mac{}}, found), 0);
  EXPECT_EQ(found.interface_name, "lo");
}

}  // namespace
