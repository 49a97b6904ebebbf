// The list parsing, the stop with its dots and limit, and the whole pass.
#include <gtest/gtest.h>

#include "fakes.h"
#include "instance_names_list.h"
#include "remove_all_services.h"
#include "stop_service.h"

namespace {

using Names = std::vector<std::string>;

TEST(ParseInstanceNamesList, PiecesInOrderThenTheMaster) {
  EXPECT_EQ(ParseInstanceNamesList("[x]\r\nInstanceNamesList=Lab%Dock Yard\r\nInstanceName=Master\r\n"),
            (Names{"Daltrimore_VMDS_Lab", "Daltrimore_VMDS_Dock_Yard", "Daltrimore_VMDS_Mstr"}));
}

TEST(ParseInstanceNamesList, BlanksAroundNamesAreDroppedFirst) {
  EXPECT_EQ(ParseInstanceNamesList("InstanceNamesList= Lab % Dock \r\n"),
            (Names{"Daltrimore_VMDS_Lab", "Daltrimore_VMDS_Dock", "Daltrimore_VMDS_Mstr"}));
}

TEST(ParseInstanceNamesList, LfOnlyAndUnterminatedLastLine) {
  EXPECT_EQ(ParseInstanceNamesList("InstanceNamesList=Lab\nInstanceName=Master\n"),
            (Names{"Daltrimore_VMDS_Lab", "Daltrimore_VMDS_Mstr"}));
  EXPECT_EQ(ParseInstanceNamesList("a=b\r\nInstanceNamesList=Lab%Dock"),
            (Names{"Daltrimore_VMDS_Lab", "Daltrimore_VMDS_Dock", "Daltrimore_VMDS_Mstr"}));
  // An LF-only list line in a file whose later lines end in CR LF still ends at its LF.
  EXPECT_EQ(ParseInstanceNamesList("InstanceNamesList=Lab\nX=1\r\n"),
            (Names{"Daltrimore_VMDS_Lab", "Daltrimore_VMDS_Mstr"}));
}

TEST(ParseInstanceNamesList, NoKeyRemovesNothingAndEmptyPiecesAreSkipped) {
  EXPECT_TRUE(ParseInstanceNamesList("InstanceName=Master\r\ninstancenameslist=Lab\r\n").empty());
  EXPECT_EQ(ParseInstanceNamesList("InstanceNamesList=\r\n"), (Names{"Daltrimore_VMDS_Mstr"}));
  EXPECT_EQ(ParseInstanceNamesList("InstanceNamesList=Lab%%\r\n"),
            (Names{"Daltrimore_VMDS_Lab", "Daltrimore_VMDS_Mstr"}));
}

TEST(StopServiceWithTimeout, StoppedServiceGetsNoLine) {
  FakeServiceDatabase db;
  FakeToolHost host;
  db.services["S"].states = {kServiceStopped};
  ScHandle service = 0;
  db.OpenServiceEntry(1, "S", kServiceAllAccess, &service);
  StopServiceWithTimeout(db, host, service, "S");
  EXPECT_EQ(host.out, "");
  EXPECT_EQ(db.now, 1000);
}

TEST(StopServiceWithTimeout, OneDotPerFurtherSecond) {
  FakeServiceDatabase db;
  FakeToolHost host;
  db.services["S"].states = {kServiceRunning, kServiceStopPending, kServiceStopPending,
                             kServiceStopped};
  ScHandle service = 0;
  db.OpenServiceEntry(1, "S", kServiceAllAccess, &service);
  StopServiceWithTimeout(db, host, service, "S");
  EXPECT_EQ(host.out, "Attempting to stop the \"S\" Service ..... OK\n");
}

TEST(StopServiceWithTimeout, StopPendingServiceGetsNoSecondStop) {
  FakeServiceDatabase db;
  FakeToolHost host;
  db.services["S"].states = {kServiceStopPending, kServiceStopped};
  ScHandle service = 0;
  db.OpenServiceEntry(1, "S", kServiceAllAccess, &service);
  StopServiceWithTimeout(db, host, service, "S");
  EXPECT_EQ(host.out, "Attempting to stop the \"S\" Service ... OK\n");
  EXPECT_EQ(std::count(db.calls.begin(), db.calls.end(), "Stop S"), 0);
}

TEST(StopServiceWithTimeout, NeverStoppingServiceGets89DotsIn90Seconds) {
  FakeServiceDatabase db;
  FakeToolHost host;
  db.services["S"].states = {kServiceRunning, kServiceStopPending};
  ScHandle service = 0;
  db.OpenServiceEntry(1, "S", kServiceAllAccess, &service);
  StopServiceWithTimeout(db, host, service, "S");
  EXPECT_EQ(host.out, "Attempting to stop the \"S\" Service ..." + std::string(89, '.') + " OK\n");
  EXPECT_EQ(db.now, 1090);
}

TEST(StopServiceWithTimeout, FailedQueryEndsTheWait) {
  FakeServiceDatabase db;
  FakeToolHost host;
  db.services["S"].states = {kServiceRunning, kServiceStopPending};
  db.services["S"].queryErrorAfter = 2;
  ScHandle service = 0;
  db.OpenServiceEntry(1, "S", kServiceAllAccess, &service);
  StopServiceWithTimeout(db, host, service, "S");
  EXPECT_EQ(host.out, "Attempting to stop the \"S\" Service .... OK\n");
}

// A startup file for Lab (running), Dock Yard (stopped) and Gone (never registered).
struct Installation {
  FakeServiceDatabase db;
  FakeToolHost host;
  Installation() {
    host.files["C:\\VMDS\\vmds.ini"] =
        "[h]\r\nInstanceNamesList=Lab%Dock Yard%Gone\r\nInstanceName=Master\r\n";
    db.services["Daltrimore_VMDS_Lab"].states = {kServiceRunning, kServiceStopped};
    db.services["Daltrimore_VMDS_Dock_Yard"].states = {kServiceStopped};
    db.services["Daltrimore_VMDS_Mstr"].states = {kServiceRunning, kServiceStopPending,
                                                  kServiceStopped};
  }
};

TEST(RemoveAllServicesMain, PrintsMasterFirstRemovesInListOrderAndReportsFailures) {
  Installation in;
  in.db.services["Daltrimore_VMDS_Dock_Yard"].deleteError = 1072;
  EXPECT_EQ(RemoveAllServicesMain({"remove_all_services"}, in.host, in.db), 0);
  EXPECT_EQ(in.host.out,
            "Removing the following services from the SCM:\n"
            "\"Daltrimore_VMDS_Mstr\"\n"
            "\"Daltrimore_VMDS_Gone\"\n"
            "\"Daltrimore_VMDS_Dock_Yard\"\n"
            "\"Daltrimore_VMDS_Lab\"\n"
            "Attempting to stop the \"Daltrimore_VMDS_Lab\" Service ... OK\n"
            "Attempting to stop the \"Daltrimore_VMDS_Mstr\" Service .... OK\n"
            "The following services could not be removed:\n"
            "\"Daltrimore_VMDS_Dock_Yard\" could not be deleted (error 1072: The specified "
            "service has been marked for deletion.)\n"
            "\"Daltrimore_VMDS_Gone\" could not be opened (error 1060: The specified service "
            "does not exist as an installed service.)\n");
  EXPECT_EQ(in.db.calls,
            (Names{"OpenSCManager 1073741824", "Open Daltrimore_VMDS_Lab",
                   "Stop Daltrimore_VMDS_Lab", "Delete Daltrimore_VMDS_Lab",
                   "Close Daltrimore_VMDS_Lab", "Open Daltrimore_VMDS_Dock_Yard",
                   "Delete Daltrimore_VMDS_Dock_Yard", "Close Daltrimore_VMDS_Dock_Yard",
                   "Open Daltrimore_VMDS_Gone", "Open Daltrimore_VMDS_Mstr",
                   "Stop Daltrimore_VMDS_Mstr", "Delete Daltrimore_VMDS_Mstr",
                   "Close Daltrimore_VMDS_Mstr", "Close SCM"}));
  EXPECT_EQ(in.db.openHandles, 0);
  EXPECT_TRUE(in.host.messageBoxes.empty());
}

TEST(RemoveAllServicesMain, AnythingButTheOneArgumentDoesNothing) {
  for (const Names& arguments : {Names{}, Names{"remove_all_services", "remove_all_services"},
                                 Names{"Remove_All_Services"}, Names{"x"}}) {
    Installation in;
    EXPECT_EQ(RemoveAllServicesMain(arguments, in.host, in.db), 0);
    EXPECT_EQ(in.host.out, "");
    EXPECT_TRUE(in.db.calls.empty());
  }
}

TEST(RemoveAllServicesMain, NoProgramPathNoStartupFileNoDatabase) {
  Installation noPath;
  noPath.host.programPathError = 122;
  EXPECT_EQ(RemoveAllServicesMain({"remove_all_services"}, noPath.host, noPath.db), -1);
  EXPECT_TRUE(noPath.host.messageBoxes.empty());

  Installation noFile;
  noFile.host.programPath = "C:\\Elsewhere\\vmdsremove.exe";
  EXPECT_EQ(RemoveAllServicesMain({"remove_all_services"}, noFile.host, noFile.db), -2);
  EXPECT_EQ(noFile.host.messageBoxes,
            (Names{"Failed to remove VMDS service(s) from the Service Control Manager.\nCause: "
                   "Unable to read VMDS.ini."}));
  EXPECT_TRUE(noFile.db.calls.empty());

  Installation denied;
  denied.db.openManagerError = 5;
  EXPECT_EQ(RemoveAllServicesMain({"remove_all_services"}, denied.host, denied.db), -3);
  EXPECT_EQ(denied.host.messageBoxes,
            (Names{"The following error occured while removing VMDS services from the Service "
                   "Control Manager:\n\nError: The requested access was denied. (Ensure that you "
                   "have the user privlidges required to modify the SCM.)"}));
  EXPECT_TRUE(denied.host.out.ends_with("\"Daltrimore_VMDS_Lab\"\n"));  // list printed first
  EXPECT_EQ(ServiceDatabaseFailureMessage(1065).substr(ServiceDatabaseFailureMessage(1065).rfind('\n') + 1),
            "Error: The specified database does not exist.");
  EXPECT_EQ(ServiceDatabaseFailureMessage(42).back(), '\n');
}

TEST(RemoveAllServicesMain, StartupFileWithoutTheKeyRemovesNothing) {
  Installation in;
  in.host.files["C:\\VMDS\\vmds.ini"] = "InstanceName=Master\r\n";
  EXPECT_EQ(RemoveAllServicesMain({"remove_all_services"}, in.host, in.db), 0);
  EXPECT_EQ(in.host.out, "Removing the following services from the SCM:\n");
  EXPECT_EQ(in.db.calls, (Names{"OpenSCManager 1073741824", "Close SCM"}));
}

}  // namespace
