#include <gtest/gtest.h>

#include <random>
#include <string>

#include "adapters_id_internal.h"
#include "names_format_internal.h"

namespace {

using zok::adapters::Mac;
using zok::names::NameTable;
using zok::names::parse_names;
using zok::names::serialise_names;

Mac mac_of(const char *text) {
  return zok::adapters::parse_mac(text).value_or(Mac{});
}

TEST(AdapterName, AcceptsOneToSixtyThreePrintableCharacters) {
  for (const std::string &name : {std::string("a"), std::string(" "), std::string("cam #1 (left)"),
                                  std::string(63, 'x'), std::string("~!@#$%^&*()_+{}|:\"<>?")}) {
    EXPECT_TRUE(zok::names::name_valid(name)) << name;
  }
}

TEST(AdapterName, RefusesEmptyLongAndControlCharacters) {
  for (const std::string &name :
       {std::string(), std::string(64, 'x'), std::string("a\nb"), std::string("a\rb"),
        std::string("tab\there"), std::string("del\x7f"), std::string("nul\0x", 5),
        std::string("\xc3\xa9t\xc3\xa9"), std::string("\x1b[31mred")}) {
    EXPECT_FALSE(zok::names::name_valid(name)) << name;
  }
}

TEST(NamesFile, RoundTripsEveryValidName) {
  const NameTable names = {{Mac{}, "loopback"},
                           {mac_of("02:FC:00:00:00:01"), " spaced  out "},
                           {mac_of("7e:6e:61:7b:01:99"), std::string(63, '#')}};
  const auto parsed = parse_names(serialise_names(names));
  EXPECT_EQ(parsed.names, names);
  EXPECT_EQ(parsed.damaged_lines, 0u);
  // Addresses are stored in lower case.
  const std::string text = serialise_names({{mac_of("AA:BB:CC:DD:EE:FF"), "x"}});
  EXPECT_NE(text.find("\naa:bb:cc:dd:ee:ff x\n"), std::string::npos) << text;
}

TEST(NamesFile, DamagedLinesCostOnlyThemselves) {
  const std::string text =
      "# comment\n"
      "\n"
      "00:00:00:00:00:00 loopback\n"
      "garbage\n"
      "02:fc:00:00:00:01\n"          // no name
      "02:fc:00:00:00:02 \n"         // empty name
      "02:fc:00:00:00:03\tname\n"    // wrong separator
      "02:fc:00:00:00:0 short\n"     // short address
      "02:fc:00:00:00:0g bad hex\n"  // not hex
      "02-fc-00-00-00-04 dashes\n"   // wrong address form
      "02:fc:00:00:00:05 " +
      std::string(64, 'x') + "\n" +  // over-long name
      "02:fc:00:00:00:06 bell\a\n"   // control character
      "02:FC:00:00:00:07 Upper\r\n"  // CRLF, upper-case address
      "02:fc:00:00:00:08 last, no newline";
  const auto parsed = parse_names(text);
  const NameTable expected = {{Mac{}, "loopback"},
                              {mac_of("02:fc:00:00:00:07"), "Upper"},
                              {mac_of("02:fc:00:00:00:08"), "last, no newline"}};
  EXPECT_EQ(parsed.names, expected);
  EXPECT_EQ(parsed.damaged_lines, 9u);
}

TEST(NamesFile, ALaterDuplicateWins) {
  const auto parsed = parse_names(
      "00:00:00:00:00:00 first\n"
      "02:fc:00:00:00:01 other\n"
      "00:00:00:00:00:00 second\n");
  ASSERT_EQ(parsed.names.size(), 2u);
  EXPECT_EQ(parsed.names.at(Mac{}), "second");
  // Rewriting leaves one entry per address.
  EXPECT_EQ(parse_names(serialise_names(parsed.names)).names, parsed.names);
}

TEST(NamesFile, EmptyAndCommentOnlyFilesHoldNoNames) {
  for (const char *text : {"", "\n\n", "# only a comment\n", "#"}) {
    const auto parsed = parse_names(text);
    EXPECT_TRUE(parsed.names.empty()) << text;
    EXPECT_EQ(parsed.damaged_lines, 0u) << text;
  }
  EXPECT_EQ(parse_names(serialise_names({})).names, NameTable{});
}

TEST(NamesFile, SurvivesArbitraryBytes) {
  // Whatever a disk or an editor did to the file, parsing ends and every
  // entry it keeps is one that could have been written.
  std::mt19937 random(20261207);
  const std::string alphabet = "0123456789abcdefABCDEF: \n\r#\t\x7f\x80\xff";
  for (int round = 0; round < 2000; ++round) {
    std::string text(random() % 300, '\0');
    for (char &c : text) {
      c = random() % 4 == 0 ? static_cast<char>(random()) : alphabet[random() % alphabet.size()];
    }
    const bool good_first_line = round % 2 == 0;
    if (good_first_line) text = "00:00:00:00:00:00 kept\n" + text;
    const auto parsed = parse_names(text);
    for (const auto &[mac, name] : parsed.names) EXPECT_TRUE(zok::names::name_valid(name));
    // The good entry survives unless the noise happens to hold a later entry
    // for the same address.
    if (good_first_line && text.find("\n00:00:00:00:00:00 ") == std::string::npos) {
      ASSERT_EQ(parsed.names.count(Mac{}), 1u) << text;
      EXPECT_EQ(parsed.names.at(Mac{}), "kept");
    }
  }
}

}  // namespace
