// The allow-list of clients and the listen address: parsing, matching, the startup-file keys and
// the rate-limited log of refused clients.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "access.h"
#include "settings.h"
#include "test_support.h"

namespace {

TEST(AllowedClients, ValuesThatRead) {
  struct Case {
    std::string value;
    std::vector<ClientRange> ranges;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"  \t ", {}},
      {"10.1.2.3", {{0x0A010203, 0xFFFFFFFF}}},
      {"10.1.2.3, 10.1.5.0/24", {{0x0A010203, 0xFFFFFFFF}, {0x0A010500, 0xFFFFFF00}}},
      {" 10.1.2.3 ,\t10.1.5.0/24\t", {{0x0A010203, 0xFFFFFFFF}, {0x0A010500, 0xFFFFFF00}}},
      {"0.0.0.0/0", {{0, 0}}},
      {"1.2.3.4/0", {{0, 0}}},  // host bits beyond the prefix are ignored
      {"255.255.255.255/32", {{0xFFFFFFFF, 0xFFFFFFFF}}},
      {"10.1.5.77/24", {{0x0A010500, 0xFFFFFF00}}},
      {"192.168.0.0/1", {{0x80000000, 0x80000000}}},
      {"192.168.1.1/31", {{0xC0A80100, 0xFFFFFFFE}}},
      {"0.0.0.0", {{0, 0xFFFFFFFF}}},
  };
  for (const Case& c : cases) {
    std::string bad = "untouched";
    auto ranges = ParseAllowedClients(c.value, &bad);
    ASSERT_TRUE(ranges.has_value()) << "\"" << c.value << "\" named \"" << bad << "\"";
    EXPECT_EQ(*ranges, c.ranges) << "\"" << c.value << "\"";
  }
}

TEST(AllowedClients, BadValuesNameTheBadEntry) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"10.1.2.256", "10.1.2.256"},
      {"10.1.2.3, 300.1.2.3", "300.1.2.3"},
      {"10.1.2.0/33", "10.1.2.0/33"},
      {"10.1.2.0/", "10.1.2.0/"},
      {"10.1.2.0/-1", "10.1.2.0/-1"},
      {"10.1.2.0/08", "10.1.2.0/08"},
      {"10.1.2.0/24/8", "10.1.2.0/24/8"},
      {"10.1.2", "10.1.2"},
      {"10.1.2.3.4", "10.1.2.3.4"},
      {"10..2.3", "10..2.3"},
      {"010.1.2.3", "010.1.2.3"},  // octal or decimal: refused
      {"10.1.2.3 4", "10.1.2.3 4"},
      {"10.1.2.3;10.1.2.4", "10.1.2.3;10.1.2.4"},
      {"host.example", "host.example"},
      {"*", "*"},
      {"10.1.2.3,,10.1.2.4", ""},
      {"10.1.2.3,", ""},
      {", 10.1.2.3", ""},
      {"::1", "::1"},
      {"+1.2.3.4", "+1.2.3.4"},
      {"1.2.3.4/ 8", "1.2.3.4/ 8"},
  };
  for (const auto& [value, entry] : cases) {
    std::string bad = "untouched";
    EXPECT_FALSE(ParseAllowedClients(value, &bad).has_value()) << "\"" << value << "\"";
    EXPECT_EQ(bad, entry) << "\"" << value << "\"";
  }
}

TEST(AllowedClients, MatchingAtTheEdgesOfRanges) {
  std::string bad;
  const auto list = *ParseAllowedClients("10.1.2.3, 10.1.5.0/24, 192.168.8.0/22", &bad);
  const std::vector<std::pair<std::string, bool>> cases = {
      {"10.1.2.3", true},       {"10.1.2.2", false},      {"10.1.2.4", false},
      {"10.1.5.0", true},       {"10.1.5.255", true},     {"10.1.4.255", false},
      {"10.1.6.0", false},      {"192.168.8.0", true},    {"192.168.11.255", true},
      {"192.168.12.0", false},  {"192.168.7.255", false}, {"not an address", false},
      {"", false},
  };
  for (const auto& [address, allowed] : cases) {
    EXPECT_EQ(IsAllowedClient(list, address), allowed) << address;
  }
  EXPECT_TRUE(IsAllowedClient({}, "203.0.113.9"));  // no list: anyone
  const auto everyone = *ParseAllowedClients("0.0.0.0/0", &bad);
  EXPECT_TRUE(IsAllowedClient(everyone, "0.0.0.0"));
  EXPECT_TRUE(IsAllowedClient(everyone, "255.255.255.255"));
  const auto one = *ParseAllowedClients("255.255.255.255/32", &bad);
  EXPECT_TRUE(IsAllowedClient(one, "255.255.255.255"));
  EXPECT_FALSE(IsAllowedClient(one, "255.255.255.254"));
}

class AccessKeys : public vmds_unit::DebugFlagTest {
 protected:
  ServiceSettings service;
  SerialSettings serial;
  LogSettings log;
  bool Apply(const std::string& line) { return ApplyStartupLine(line, service, serial, log); }
};

TEST_F(AccessKeys, GoodValuesReachTheRecordAndAbsentMeansAnyoneAnywhere) {
  EXPECT_TRUE(service.AllowedClients.empty());
  EXPECT_EQ(service.ListenAddress, 0u);
  EXPECT_TRUE(Apply("AllowedClients=10.1.2.3, 10.1.5.0/24\n"));
  EXPECT_TRUE(Apply("ListenAddress= 127.0.0.1 \n"));
  EXPECT_EQ(service.AllowedClients,
            (std::vector<ClientRange>{{0x0A010203, 0xFFFFFFFF}, {0x0A010500, 0xFFFFFF00}}));
  EXPECT_EQ(service.ListenAddress, 0x7F000001u);
  EXPECT_EQ(service.AccessError, "");
  EXPECT_TRUE(Apply("AllowedClients=\n"));
  EXPECT_TRUE(Apply("ListenAddress="));
  EXPECT_TRUE(service.AllowedClients.empty());
  EXPECT_EQ(service.ListenAddress, 0u);
  EXPECT_EQ(service.AccessError, "");
}

TEST_F(AccessKeys, BadValuesAreKeptAsTheErrorThatStopsTheServiceFirstOneNamed) {
  // Not a default-taking bad value: the line itself reads as good, the error stops the start.
  EXPECT_TRUE(Apply("AllowedClients=10.1.2.3, 10.1.2.300\n"));
  EXPECT_TRUE(Apply("ListenAddress=localhost\n"));
  EXPECT_EQ(service.AccessError,
            "AllowedClients entry \"10.1.2.300\" is not an IPv4 address or range");
  ServiceSettings other;
  ASSERT_TRUE(ApplyStartupLine("AllowedClients=10.1.2.3,\n", other, serial, log));
  EXPECT_EQ(other.AccessError, "AllowedClients has an empty entry");
  other = ServiceSettings();
  ASSERT_TRUE(ApplyStartupLine("ListenAddress=127.0.0.256\n", other, serial, log));
  EXPECT_EQ(other.AccessError, "ListenAddress \"127.0.0.256\" is not an IPv4 address");
}

TEST_F(AccessKeys, AListCutAtTheLineLimitIsRefusedNotShortened) {
  std::string value;
  while (value.size() < 200) value += "10.1.2.34, ";
  value += "10.1.2.34";
  std::vector<std::string> pieces;
  SplitStartupLines("AllowedClients=" + value + "\r\n",
                    [](const std::string& piece, void* raw) {
                      static_cast<std::vector<std::string>*>(raw)->push_back(piece);
                    },
                    &pieces);
  ASSERT_GT(pieces.size(), 1u);
  for (const std::string& piece : pieces) Apply(piece);
  EXPECT_EQ(service.AccessError,
            "AllowedClients is longer than a line of the startup file may be");
}

TEST(RefusalLog, FirstRefusalThenOneLineAMinuteWithTheCount) {
  using namespace std::chrono_literals;
  RefusalLog refusals;
  const auto t0 = RefusalLog::Clock::time_point{} + 1000s;
  EXPECT_EQ(refusals.Refused("10.0.0.9", t0), "10.0.0.9 refused: not an allowed client");
  for (int i = 0; i < 500; ++i) EXPECT_EQ(refusals.Refused("10.0.0.9", t0 + 59s), "");
  EXPECT_EQ(refusals.Refused("10.0.0.8", t0 + 59s), "10.0.0.8 refused: not an allowed client");
  EXPECT_EQ(refusals.Refused("10.0.0.9", t0 + 60s),
            "10.0.0.9 refused: not an allowed client (501 times since the last line)");
  EXPECT_EQ(refusals.Refused("10.0.0.9", t0 + 119s), "");
  EXPECT_EQ(refusals.Refused("10.0.0.9", t0 + 600s),
            "10.0.0.9 refused: not an allowed client (2 times since the last line)");
}

TEST(RefusalLog, RemembersAtMost256AddressesTheLongestUnseenGoesFirst) {
  using namespace std::chrono_literals;
  RefusalLog refusals;
  auto t = RefusalLog::Clock::time_point{} + 1000s;
  auto address = [](int i) { return "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256); };
  for (int i = 0; i < 256; ++i) EXPECT_NE(refusals.Refused(address(i), t += 1ms), "");
  EXPECT_EQ(refusals.Refused(address(0), t += 1ms), "");  // address 0 is now the newest seen
  EXPECT_NE(refusals.Refused(address(256), t += 1ms), "");  // pushes out address 1
  EXPECT_EQ(refusals.size(), 256u);
  EXPECT_EQ(refusals.Refused(address(0), t += 1ms), "");
  EXPECT_EQ(refusals.Refused(address(1), t += 1ms), "10.0.0.1 refused: not an allowed client");
  for (int i = 0; i < 10000; ++i) refusals.Refused(address(1000 + i), t += 1ms);
  EXPECT_EQ(refusals.size(), 256u);
}

}  // namespace
