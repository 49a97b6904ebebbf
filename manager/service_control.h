// Registering, starting, restarting and deleting instance services.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "instance_status.h"
#include "service_database.h"
#include "view.h"

inline constexpr const char* kServiceDescription =
    "Permits a COM port connected sensor or device to be accessed over TCP";

// Every registered service is restarted by the service database a minute after it fails,
// stopped with a non-zero exit code included (a device server whose serial port went away
// ends that way), and its failure count is forgotten after a day.
inline constexpr RecoveryActions kInstanceRecovery{86400, 60000, true};

// The three outcome messages of RestartInstanceService.
inline constexpr const char* kRestartStarted =
    "Changes are saved and service is started successfully";
inline constexpr const char* kRestartFailedToStart =
    "Changes are saved but failed to start service. Check the Instance Log File.";
inline constexpr const char* kRestartNotStarted =
    "Changes are saved but service is not started successfully. Check the Instance Log File.";

// Longest wait for a stop-pending service in RestartInstanceService and DeleteInstanceService:
// this many waits of 1000 ms (the removal tool's 90 seconds). The section leaves the bound open.
constexpr int kMaxStopPendingWaits = 90;

// The program path as registered: in double quotes, so that a path with blanks cannot start
// another program (the device server reads quoted and unquoted paths). A path that already
// starts with a double quote is passed as it is.
std::string QuotedProgramPath(const std::string& programPath);

// The event source every device server reports under, and the event types it reports (error,
// warning, information).
inline constexpr const char* kEventSourceName = "Velmora Device Server";
constexpr std::uint32_t kEventTypesSupported = 7;

// Registers an own-process, automatic-start service of the local system account with the fixed
// description. True when the service was registered; it is not started. Then, unless
// `eventMessageFile` is empty, (re)registers the device servers' event source with that program
// file as its message file: the vmds.exe of the manager's directory, which lives as long as the
// installation (an instance's own copy goes with the instance). A source that cannot be written
// does not undo the registration: the service runs, its events only lack their message text.
bool CreateInstanceService(ServiceDatabase& db, const std::string& serviceName,
                          const std::string& displayName, const std::string& programPath,
                          const std::string& eventMessageFile = "");

// Starts the service; true when it is running afterwards (checked after 500 ms, and once more
// after another 1000 ms while start pending).
bool StartInstanceService(ServiceDatabase& db, const std::string& serviceName);
// The same; *error is the Win32 error that kept it from starting: of opening the service, of the
// start request (an already running service is none), or 1053 when it stayed start pending. 0
// when none was reported (the device server started and ended, say).
bool StartInstanceService(ServiceDatabase& db, const std::string& serviceName, int* error);

// Stops the service when it runs, starts it, and tells the user the outcome (exclamation icon).
void RestartInstanceService(ServiceDatabase& db, MessageView& view, const std::string& serviceName);

// False only when the service database says that no service of this name exists (1060).
bool ServiceIsRegistered(ServiceDatabase& db, const std::string& serviceName);

// What StopInstanceService found and did.
enum class StopOutcome {
  kNotRegistered,  // no service of this name exists
  kWasStopped,     // it was not running
  kStopped,        // it ran and has stopped
  kFailed,         // it cannot be opened, refused the stop or did not stop in time
};

// Stops the service when it is not stopped and waits while it is stop pending (bounded).
StopOutcome StopInstanceService(ServiceDatabase& db, const std::string& serviceName);
// The same; *error is the Win32 error of a failed stop: of opening the service, of the stop
// control, or 1053 when it was still stop pending at the bound; 0 otherwise.
StopOutcome StopInstanceService(ServiceDatabase& db, const std::string& serviceName, int* error);

// The condition of each service, in order, from one enumeration of the service database (an
// open and a status query per service when the enumeration fails); no waits. An empty name is
// kNotRegistered.
std::vector<ServiceCondition> QueryServiceConditions(ServiceDatabase& db,
                                                     const std::vector<std::string>& serviceNames);

// Stops the service unless it is stopped and deletes it. True when the deletion was accepted;
// false when the service cannot be opened or deleted.
bool DeleteInstanceService(ServiceDatabase& db, const std::string& serviceName);
