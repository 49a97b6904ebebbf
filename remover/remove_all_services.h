// vmdsremove's main sequence and its pass over the services.
#pragma once

#include <string>
#include <vector>

#include "service_database.h"

inline constexpr const char* kRemoveArgument = "remove_all_services";

constexpr int kExitDone = 0;
constexpr int kExitNoProgramPath = -1;
constexpr int kExitNoStartupFile = -2;
constexpr int kExitNoServiceDatabase = -3;
constexpr int kExitFrameworkFailure = 1;

// A service of FailedServiceList with the step that failed and its Win32 error number.
struct FailedService {
  std::string Name;
  bool OpenFailed = false;  // false: the deletion failed
  int Error = 0;
  bool operator==(const FailedService&) const = default;
};

// The whole program after the run-time start: `arguments` excludes the program name. Returns the
// exit code.
int RemoveAllServicesMain(const std::vector<std::string>& arguments, ToolHost& host,
                          ServiceDatabase& db);

// Step 8: every service of the list in list order is opened, stopped, deleted and closed.
// Returns FailedServiceList.
std::vector<FailedService> RemoveServices(ServiceDatabase& db, ToolHost& host, ScHandle manager,
                                          const std::vector<std::string>& ServiceRemovalList);

// The console report of FailedServiceList written after the pass; empty when nothing failed.
std::string FailedServicesReport(const std::vector<FailedService>& FailedServiceList);

// The message box text when the service database cannot be opened (step 7).
std::string ServiceDatabaseFailureMessage(int error);
