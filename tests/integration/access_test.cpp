// Who may reach the device: AllowedClients and ListenAddress of the real vmds. Clients connect
// from chosen source addresses of 127.0.0.0/8 (all of it is the loopback interface on Linux).
#include <sys/wait.h>

#include <atomic>
#include <future>
#include <fstream>
#include <iterator>
#include <thread>

#include "harness.h"

namespace vmds_it {
namespace {

constexpr int kExitBadAccessSettings = 15;
const std::string kRefused = " refused: not an allowed client";

class Access : public VmdsTest {
 protected:
  void StartAllowing(const std::string& allowed, bool dropLines = false) {
    StartupSettings settings = instance.DefaultSettings();
    settings["AllowedClients"] = allowed;
    if (dropLines) {
      settings["DropDTRonSocketClose"] = "Yes";
      settings["DropRTSonSocketClose"] = "Yes";
    }
    StartWith(settings);
  }

  // A whole session from `source`: its bytes reach the device and the device's reply reaches it.
  void ExpectServed(const std::string& source) {
    Client client;
    ASSERT_EQ(client.Connect(instance.port(), source, "127.0.0.1"), 0) << source;
    ++sessions_;
    ASSERT_TRUE(instance.WaitForLog(source + " connected to", 1)) << source;
    const std::string mark = "from " + source;
    ASSERT_TRUE(client.Send(mark));
    EXPECT_EQ(ToText(instance.device().Read(mark.size())), mark);
    ASSERT_TRUE(instance.device().Write(ToBytes("reply")));
    EXPECT_EQ(ToText(client.Read(5)), "reply");
    client.Close();
    ASSERT_TRUE(instance.WaitForLog("closed session", sessions_)) << source;
    // The listener is closed during a session and made anew after it (refusals log no wait).
    ASSERT_TRUE(instance.WaitListening(sessions_ + 1)) << source;
  }

  // Connects from `source` and sees the server close the connection at once.
  void ExpectRefused(const std::string& source) {
    Client client;
    ASSERT_EQ(client.Connect(instance.port(), source, "127.0.0.1"), 0) << source;
    EXPECT_TRUE(client.WaitClosedByServer()) << source;
  }

  // The value of the status file's vmds_sessions_total.
  std::string SessionsCounted() const {
    std::ifstream in(instance.File("vmds.prom"), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t at = text.find("\nvmds_sessions_total{");
    if (at == std::string::npos) return "(none)";
    std::size_t end = text.find('\n', at + 1);
    std::size_t space = text.rfind(' ', end);
    return text.substr(space + 1, end - space - 1);
  }

  int sessions_ = 0;
};

TEST_F(Access, OnlyListedClientsGetASessionAtTheEdgesOfTheirRanges) {
  ASSERT_NO_FATAL_FAILURE(StartAllowing(" 127.0.0.1 ,127.0.1.0/24", true));
  const std::size_t modemChanges = instance.ModemLines().size();
  const std::vector<std::string> refused = {"127.0.0.2", "127.0.0.255", "127.0.2.0",
                                            "127.0.0.0", "127.1.1.1"};
  for (const std::string& source : refused) ASSERT_NO_FATAL_FAILURE(ExpectRefused(source));
  for (const std::string& source : refused) {
    ASSERT_TRUE(instance.WaitForLog(source + kRefused)) << source;
  }
  // Nothing of a session: no DTR/RTS change, no purge, no "connected", not counted.
  EXPECT_EQ(instance.ModemLines().size(), modemChanges);
  EXPECT_EQ(instance.CountLogLines("connected to"), 0);
  EXPECT_EQ(instance.CountLogLines("Bit Rate = "), 0);
  EXPECT_EQ(SessionsCounted(), "0");
  EXPECT_EQ(instance.CountLogLines("Waiting for connection"), 1);

  for (const char* source : {"127.0.0.1", "127.0.1.0", "127.0.1.255", "127.0.1.77"}) {
    ASSERT_NO_FATAL_FAILURE(ExpectServed(source));
  }
  EXPECT_EQ(SessionsCounted(), "4");
  ASSERT_NO_FATAL_FAILURE(ExpectRefused("127.0.0.2"));  // once a minute at most: no new line
  ASSERT_NO_FATAL_FAILURE(ExpectServed("127.0.0.1"));   // the refusal was handled before this
  EXPECT_EQ(instance.CountLogLines("127.0.0.2" + kRefused), 1);
  EXPECT_TRUE(instance.StopCleanly());
}

TEST_F(Access, WholeAddressSpaceAndSingleHostEdges) {
  ASSERT_NO_FATAL_FAILURE(StartAllowing("0.0.0.0/0"));
  ASSERT_NO_FATAL_FAILURE(ExpectServed("127.0.0.1"));
  ASSERT_NO_FATAL_FAILURE(ExpectServed("127.254.3.9"));
  EXPECT_EQ(instance.CountLogLines(kRefused), 0);
  ASSERT_TRUE(instance.StopCleanly());

  Instance single;
  StartupSettings settings = single.DefaultSettings();
  settings["AllowedClients"] = "127.0.0.9/32";
  single.WriteStartupFile(settings);
  single.Start();
  ASSERT_TRUE(single.WaitListening());
  {
    Client client;
    ASSERT_EQ(client.Connect(single.port(), "127.0.0.8", "127.0.0.1"), 0);
    EXPECT_TRUE(client.WaitClosedByServer());
  }
  Client client;
  ASSERT_EQ(client.Connect(single.port(), "127.0.0.9", "127.0.0.1"), 0);
  EXPECT_TRUE(single.WaitForLog("127.0.0.9 connected to"));
  EXPECT_TRUE(single.WaitForLog("127.0.0.8" + kRefused));
  client.Close();
  EXPECT_TRUE(single.StopCleanly());
}

// 10,000 refused connects from 100 addresses. An allowed client is served while they go on and
// after them, and the log holds one line per refused address (two if the run took over a minute).
TEST_F(Access, RefusedFloodNeitherHoldsTheSlotNorFillsTheLog) {
  ASSERT_NO_FATAL_FAILURE(StartAllowing("127.0.0.1"));
  constexpr int kFlood = 10000;
  constexpr int kAddresses = 100;
  std::atomic<int> refusedSoFar{0};
  std::atomic<bool> allowedDone{false};
  std::atomic<int> failures{0};
  std::promise<void> underWay;  // set once a thousand were refused, or when the flood ends
  std::atomic<bool> underWaySet{false};
  auto markUnderWay = [&] {
    if (!underWaySet.exchange(true)) underWay.set_value();
  };
  // Goes on until kFlood connects were refused and the allowed client's session is over, so the
  // session falls inside the flood whatever the speed of either side.
  std::atomic<int> refusedBySystem{0};
  std::thread flood([&] {
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    for (int i = 0; refusedSoFar.load() < kFlood || !allowedDone.load(); ++i) {
      if (Clock::now() > deadline) break;  // bounded even if the session never comes
      const std::string source = "127.0.2." + std::to_string(1 + i % kAddresses);
      Client client;
      const int error = client.Connect(instance.port(), source, "127.0.0.1");
      if (error == ECONNREFUSED) {
        // The listener is closed while the allowed client's session runs.
        ++refusedBySystem;
        continue;
      }
      if (error != 0 || !client.WaitClosedByServer()) {
        if (++failures > 10) break;
        continue;
      }
      if (++refusedSoFar == 1000) markUnderWay();
    }
    markUnderWay();
  });
  const bool started =
      underWay.get_future().wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  const int before = refusedSoFar.load();
  ASSERT_NO_FATAL_FAILURE(ExpectServed("127.0.0.1"));
  allowedDone = true;
  flood.join();
  EXPECT_TRUE(started);
  EXPECT_GE(before, 1000);
  EXPECT_LE(failures.load(), 10);
  EXPECT_GE(refusedSoFar.load(), kFlood);
  EXPECT_GT(refusedSoFar.load(), before);  // the flood went on through the session
  ASSERT_NO_FATAL_FAILURE(ExpectServed("127.0.0.1"));

  const int refusalLines = instance.CountLogLines(kRefused);
  EXPECT_GE(refusalLines, kAddresses);
  EXPECT_LE(refusalLines, 2 * kAddresses);
  // The whole log: start-up, the two sessions and the refusal lines, each under 100 bytes.
  EXPECT_LT(instance.LogText().size(), 100u * (2 * kAddresses + 40));
  EXPECT_EQ(SessionsCounted(), "2");
  EXPECT_TRUE(instance.StopCleanly());
}

TEST_F(Access, ListenAddressBindsOneLocalAddressOnly) {
  StartupSettings settings = instance.DefaultSettings();
  settings["ListenAddress"] = "127.0.0.1";
  ASSERT_NO_FATAL_FAILURE(StartWith(settings));
  {
    Client other;
    EXPECT_EQ(other.Connect(instance.port(), "", "127.0.0.2"), ECONNREFUSED);
  }
  ASSERT_NO_FATAL_FAILURE(ExpectServed("127.0.0.1"));
  EXPECT_TRUE(instance.StopCleanly());
}

TEST_F(Access, AValueThatDoesNotReadStopsTheStartNamingIt) {
  struct Case {
    std::string key, value, line;
  };
  const std::vector<Case> cases = {
      {"AllowedClients", "10.1.2.3, 10.1.2.300",
       "AllowedClients entry \"10.1.2.300\" is not an IPv4 address or range"},
      {"AllowedClients", "10.1.2.0/33",
       "AllowedClients entry \"10.1.2.0/33\" is not an IPv4 address or range"},
      {"AllowedClients", "10.1.2.3,,10.1.2.4", "AllowedClients has an empty entry"},
      {"ListenAddress", "localhost", "ListenAddress \"localhost\" is not an IPv4 address"},
  };
  for (const Case& c : cases) {
    Instance bad;
    StartupSettings settings = bad.DefaultSettings();
    settings["DropDTRonSocketClose"] = "Yes";
    settings[c.key] = c.value;
    bad.WriteStartupFile(settings);
    bad.Start();
    std::optional<int> status = bad.WaitExit();
    ASSERT_TRUE(status.has_value()) << c.value << ": vmds did not stop by itself";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == kExitBadAccessSettings)
        << c.value << ": wait status " << *status;
    EXPECT_EQ(bad.LogMessages(),
              (std::vector<std::string>{
                  "Startup file read successfully",
                  c.line,
                  "Velmora Device Server could not be initialized successfully",
                  "--Debug Mode Enabled--",
                  "SHUTDOWN: Daltrimore Velmora Device Server Ver 4.0 Build 47",
              }))
        << c.value;
    // The device was never opened: its lines were not touched.
    EXPECT_TRUE(bad.ModemLines().empty()) << c.value;
    Client client;
    EXPECT_EQ(client.Connect(bad.port()), ECONNREFUSED) << c.value;
  }
}

}  // namespace
}  // namespace vmds_it
