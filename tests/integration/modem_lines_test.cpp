// DTR and RTS around sessions, as the modem-line shim records them ("DTR=x RTS=y" after every
// change of a line).
#include "harness.h"

namespace vmds_it {
namespace {

class ModemLines : public VmdsTest {
 protected:
  void Start(const std::string& dropDtr, const std::string& dropRts) {
    StartupSettings settings = instance.DefaultSettings();
    settings["DropDTRonSocketClose"] = dropDtr;
    settings["DropRTSonSocketClose"] = dropRts;
    StartWith(settings);
  }
  std::string Levels() {
    std::vector<std::string> lines = instance.ModemLines();
    return lines.empty() ? std::string("(no line set)") : lines.back();
  }
  // Runs the `number`-th session: `during` is called while it is open.
  template <typename Check>
  void Session(int number, Check during) {
    {
      Client client;
      ASSERT_EQ(client.Connect(instance.port()), 0);
      // The lines are raised before stale input is discarded and the session loop starts.
      ASSERT_TRUE(instance.WaitForLog("Bit Rate = ", number));
      during();
    }
    ASSERT_TRUE(instance.WaitForLog("closed session", number));
    // The lines are lowered before the service waits for the next client.
    ASSERT_TRUE(instance.WaitListening(number + 1));
  }
};

TEST_F(ModemLines, DroppedWhileNoClientIsConnected) {
  ASSERT_NO_FATAL_FAILURE(Start("Yes", "Yes"));
  for (const std::string& line : instance.ModemLines()) EXPECT_EQ(line, "DTR=0 RTS=0");
  EXPECT_EQ(Levels(), "DTR=0 RTS=0");
  ASSERT_NO_FATAL_FAILURE(Session(1, [&] { EXPECT_EQ(Levels(), "DTR=1 RTS=1"); }));
  EXPECT_EQ(Levels(), "DTR=0 RTS=0");
  ASSERT_NO_FATAL_FAILURE(Session(2, [&] { EXPECT_EQ(Levels(), "DTR=1 RTS=1"); }));
  EXPECT_EQ(Levels(), "DTR=0 RTS=0");
}

TEST_F(ModemLines, HighThroughoutWithoutDropFlags) {
  ASSERT_NO_FATAL_FAILURE(Start("No", "No"));
  EXPECT_EQ(Levels(), "DTR=1 RTS=1");
  std::size_t atStartup = instance.ModemLines().size();
  ASSERT_NO_FATAL_FAILURE(Session(1, [&] { EXPECT_EQ(Levels(), "DTR=1 RTS=1"); }));
  ASSERT_NO_FATAL_FAILURE(Session(2, [&] { EXPECT_EQ(Levels(), "DTR=1 RTS=1"); }));
  EXPECT_EQ(Levels(), "DTR=1 RTS=1");
  // The lines are never touched again after start-up.
  EXPECT_EQ(instance.ModemLines().size(), atStartup);
}

TEST_F(ModemLines, EachFlagDrivesItsOwnLine) {
  ASSERT_NO_FATAL_FAILURE(Start("Yes", "No"));
  EXPECT_EQ(Levels(), "DTR=0 RTS=1");
  ASSERT_NO_FATAL_FAILURE(Session(1, [&] { EXPECT_EQ(Levels(), "DTR=1 RTS=1"); }));
  EXPECT_EQ(Levels(), "DTR=0 RTS=1");
}

TEST_F(ModemLines, RtsAloneDropped) {
  ASSERT_NO_FATAL_FAILURE(Start("no", "YES"));
  EXPECT_EQ(Levels(), "DTR=1 RTS=0");
  ASSERT_NO_FATAL_FAILURE(Session(1, [&] { EXPECT_EQ(Levels(), "DTR=1 RTS=1"); }));
  EXPECT_EQ(Levels(), "DTR=1 RTS=0");
}

}  // namespace
}  // namespace vmds_it
