// The collection, the lookups, the names, the text functions and the list row.
#include <gtest/gtest.h>

#include "instance_list.h"
#include "instance_names.h"
#include "run_time_error.h"
#include "text_functions.h"

namespace {

VMDSInstanceClass Record(const std::string& name, std::int32_t tcp, const std::string& com) {
  VMDSInstanceClass r;
  r.mInstanceName = name;
  r.mTCPPort = tcp;
  r.mCOMPort = com;
  return r;
}

ManagerState ThreeInstances() {
  ManagerState state;
  state.Instances.Add(Record("Master", 6100, "COM1"));
  state.Instances.Add(Record("Lab", 6101, "COM2"));
  state.Instances.Add(Record("Dock", 6102, "COM12"));
  return state;
}

TEST(InstanceList, FreshRecordAndGlobalsHoldThePartsValues) {
  EXPECT_EQ(VMDSInstanceClass{}.mCOMPortStopBits, 0.0f);
  EXPECT_FALSE(VMDSInstanceClass{}.mMasterInstance);
  ManagerState state;
  EXPECT_TRUE(state.FirstTimeRun);
  EXPECT_EQ(state.StartupFileName, "vmds.ini");
  EXPECT_EQ(state.Instances.Count(), 0);
}

TEST(InstanceList, CollectionIsOneBasedAndClosesGaps) {
  ManagerState state = ThreeInstances();
  EXPECT_EQ(state.Instances.Item(1).mInstanceName, "Master");
  state.Instances.Remove(2);
  EXPECT_EQ(state.Instances.Item(2).mInstanceName, "Dock");
  EXPECT_THROW(state.Instances.Item(0), RunTimeFailure);
  EXPECT_THROW(state.Instances.Item(3), RunTimeFailure);
}

TEST(InstanceList, GetInstanceIndexIsCaseSensitive) {
  ManagerState state = ThreeInstances();
  EXPECT_EQ(GetInstanceIndex(state, "Dock"), 3);
  EXPECT_EQ(GetInstanceIndex(state, "dock"), -1);
  EXPECT_EQ(GetInstanceIndex(state, "Yard"), -1);
}

TEST(InstanceList, PortLookupsCountTheMasterAndReturnZeroWhenFree) {
  ManagerState state = ThreeInstances();
  EXPECT_EQ(GetInstanceIndexByTCPPort(state, 6100), 1);
  EXPECT_EQ(GetInstanceIndexByTCPPort(state, 6102), 3);
  EXPECT_EQ(GetInstanceIndexByTCPPort(state, 7000), 0);
  EXPECT_EQ(GetInstanceIndexByCOMPort(state, "COM1"), 1);
  EXPECT_EQ(GetInstanceIndexByCOMPort(state, "COM12"), 3);
  EXPECT_EQ(GetInstanceIndexByCOMPort(state, "com2"), 0);
}

TEST(InstanceNames, ServiceNamesAndDirectories) {
  EXPECT_EQ(ServiceNameOf("Lab 1"), "Daltrimore_VMDS_Lab_1");
  EXPECT_EQ(ServiceDisplayNameOf("Lab 1"), "Daltrimore VMDS Lab 1");
  EXPECT_EQ(InstanceDirectoryOf("C:\\VMDS", "Lab 1"), "C:\\VMDS\\Lab 1");
  EXPECT_EQ(StartupFilePathOf("C:\\VMDS\\Lab 1", "vmds.ini"), "C:\\VMDS\\Lab 1\\vmds.ini");
  EXPECT_STREQ(kMasterServiceName, "Daltrimore_VMDS_Mstr");
  EXPECT_STREQ(kMasterServiceDisplayName, "Daltrimore VMDS Mstr");
}

TEST(TextFunctions, CheckStringForNonNumericCharacter) {
  std::string text = "-5";
  EXPECT_EQ(CheckStringForNonNumericCharacter(text), 1);
  text = "1.5";
  EXPECT_EQ(CheckStringForNonNumericCharacter(text), 1);
  text = "  42  ";
  EXPECT_EQ(CheckStringForNonNumericCharacter(text), 0);
  EXPECT_EQ(text, "42");
  text = "";
  EXPECT_EQ(CheckStringForNonNumericCharacter(text), 0);
  text = "   ";
  EXPECT_EQ(CheckStringForNonNumericCharacter(text), 0);
  EXPECT_EQ(text, "");
}

TEST(TextFunctions, GetNumElementsAndGetElement) {
  EXPECT_EQ(GetNumElements("C:\\Tools\\app.exe", "\\"), 3);
  EXPECT_EQ(GetElement("C:\\Tools\\app.exe", "\\", 1, 0, 2), "app.exe");
  EXPECT_EQ(GetElement("C:\\Tools\\app.exe", "\\", 1, 0, 3), "");
  EXPECT_EQ(GetElement("C:\\Tools\\app.exe", "\\", 1, 7, 0), "");
  EXPECT_EQ(GetNumElements("", "\\"), 0);
  EXPECT_EQ(GetElement("", "\\", 1, 0, 0), "");
  EXPECT_EQ(GetElement("a\\b", "\\", 1, 0, 0), "a");
  EXPECT_EQ(GetElement("a,b,c,d,e,f", ",", 3, 1, 1), "e");  // a table of 3 columns
  EXPECT_THROW(GetElement("a", "\\", 0x10000, 0x10000, 0), RunTimeFailure);
}

// Found by the fuzz target manager_list_text (a hang): an empty delimiter cut nothing k times,
// up to 2^31 times. It gives empty text at once, whatever k is.
TEST(TextFunctions, EmptyDelimiterGivesEmptyTextAtOnce) {
  EXPECT_EQ(GetElement("w", "", 98, 16802816, 0), "");
  EXPECT_EQ(GetElement(std::string("\0\0\0,f", 5), "", 3, 1, 738197504), "");
  EXPECT_EQ(GetElement("a\\b", "", 1, 0x7fffffff, 0), "");
  EXPECT_EQ(GetElement("a\\b", "", 1, 0, 0), "");
  EXPECT_THROW(GetElement("a", "", 0x10000, 0x10000, 0), RunTimeFailure);
}

TEST(InstanceListRow, SerialPortIsRightAlignedInThree) {
  EXPECT_EQ(SerialPortColumn("COM5"), "COM  5");
  EXPECT_EQ(SerialPortColumn("COM12"), "COM 12");
  EXPECT_EQ(SerialPortColumn("COM123"), "COM123");
  EXPECT_EQ(MakeInstanceListRow(Record("Lab", 6101, "COM9")),
            (InstanceListRow{"Lab", "6101", "COM  9"}));
}

TEST(InstanceListRow, UnusablePortNamesAreFailures) {
  auto number = [](const std::string& port) {
    try {
      SerialPortColumn(port);
    } catch (const RunTimeFailure& failure) {
      return failure.Number();
    }
    return 0;
  };
  EXPECT_EQ(number("CO"), kErrInvalidProcedureCall);
  EXPECT_EQ(number("COM"), kErrTypeMismatch);
  EXPECT_EQ(number("COMx"), kErrTypeMismatch);
  EXPECT_EQ(number("COM40000"), kErrOverflow);
}

}  // namespace
