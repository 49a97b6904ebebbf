#include "service.h"

#include <optional>

#include "connection_cycle.h"
#include "event_log.h"
#include "listener.h"
#include "serial_port.h"
#include "settings.h"
#include "status_file.h"
#include "system_log.h"
#include "tls.h"

ServiceExitCode ExitCodeOfCycle(SessionOutcome outcome) {
  switch (outcome) {
    case SessionOutcome::ExitRequested: return kExitOnRequest;
    case SessionOutcome::SocketFailure: return kExitSocketFailure;
    default: return kExitSerialOrSystemFailure;  // no other outcome ends the cycle
  }
}

void ServiceControlHandler(std::uint32_t control) {
  if (ApplyServiceControl(control) && Globals.ExitEvent) Globals.ExitEvent->Set();
}

std::string InstanceDirectoryFromImagePath(const std::string& imagePath) {
  std::string path = imagePath;
  if (!path.empty() && path.front() == '"') {
    // "C:\Program Files\X\vmds.exe" (possibly followed by arguments): the text inside the quotes.
    std::size_t closing = path.find('"', 1);
    path = path.substr(1, closing == std::string::npos ? std::string::npos : closing - 1);
  }
  std::size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

namespace {
constexpr const char* kNotInitialisedLine =
    "Velmora Device Server could not be initialized successfully";

// The TLS keys, read before the serial port is opened: a key that does not read never means
// plain text. False (with the log line) when they do not; `tls` stays null without TLS.
bool LoadTls(const ServiceSettings& service, const std::string& directory,
             const LogSettings& log, std::unique_ptr<TlsConfig>& tls) {
  std::string error;
  std::optional<TlsFiles> files = TlsFilesOf(service, directory, &error);
  if (files) {
    tls = LoadTlsConfig(*files, &error);
    if (!tls && error.empty()) error = "TLS settings cannot be used";
  }
  if (!error.empty()) {
    LogEvent(error, log);
    return false;
  }
  return true;
}
}  // namespace

void ServiceMain(int argc, char** argv) {
  std::string serviceName = argc > 0 && argv[0] != nullptr ? argv[0] : "";
  os::RegisterControlHandler(serviceName, ServiceControlHandler);
  ReportServiceStatus(os::kServiceStartPending, 0, 0, 500);

  ServiceSettings service;
  SerialSettings serial;
  LogSettings log;

  Globals.ExitEvent = os::CreateEvent(true);
  Globals.MaxConnectEvent = os::CreateEvent(false);

  os::ImagePathResult image = os::ReadServiceImagePath(serviceName);
  if (image.openError != 0) {
    LogEvent(Format("Win32 Error #: %d Could not open registry", image.openError), log);
    // The value cannot be read from a key that is not open.
    LogEvent(Format("Win32 Error #: %d Could not query registry",
                    image.queryError != 0 ? image.queryError : os::kErrInvalidHandle),
             log);
  } else if (image.queryError != 0) {
    LogEvent(Format("Win32 Error #: %d Could not query registry", image.queryError), log);
  }
  std::string directory = InstanceDirectoryFromImagePath(image.path);
  if (!directory.empty()) os::SetCurrentDir(directory);
  std::string startupFile = directory + "vmds.ini";

  if (!ReadServiceSettings(startupFile, service, serial, log)) {
    LogEvent("Some default values may be used due to error reading startup file", log);
  }
  // Every instance reports under one event source: its events name it.
  const std::string instanceName = service.InstanceName.empty() ? serviceName : service.InstanceName;
  StatusFile status(StatusFilePath(log.LogFilename), log);
  status.Start(service.InstanceName, serial.COMPort, service.TCPPort, kVersionNumber);

  std::unique_ptr<os::SerialPort> port;
  std::unique_ptr<os::Socket> listener;
  std::unique_ptr<TlsConfig> tls;  // null: the client side is plain TCP
  // Without its two events the service could neither stop nor time a session.
  ServiceExitCode exitCode = kExitOnRequest;
  LastLogLine beforeStep = LastLoggedLine();
  if (!Globals.ExitEvent || !Globals.MaxConnectEvent) {
    exitCode = kExitNoEvents;
  } else if (!service.AccessError.empty()) {
    // Before the port is opened: nothing of the device is touched.
    LogEvent(service.AccessError, log);
    exitCode = kExitBadAccessSettings;
  } else if (!service.ProtocolError.empty()) {
    LogEvent(service.ProtocolError, log);
    exitCode = kExitBadProtocol;
  } else if (!LoadTls(service, directory, log, tls)) {
    exitCode = kExitBadTlsSettings;
  } else if (!OpenSerialPort(serial, service, log, port)) {
    // A port that failed after it was opened is still held.
    exitCode = port ? kExitSerialPortNotConfigured : kExitSerialPortNotOpened;
  } else if (!OpenListener(listener, service, log)) {
    exitCode = kExitListenerNotOpened;
  }
  const bool initialised = exitCode == kExitOnRequest;
  // The line that tells why the service ends, for the system's log.
  std::string failureLine;
  if (!initialised) {
    LastLogLine cause = LastLoggedLine();
    LogEvent(kNotInitialisedLine, log);
    failureLine = cause.count != beforeStep.count ? cause.message : kNotInitialisedLine;
  }

  // A service that could not start is never reported running: a manager that looks at that
  // moment would take the failed start for a successful one.
  if (initialised) ReportServiceStatus(os::kServiceRunning, 0, 0, 0);
  if (initialised) {
    LogEvent(std::string("STARTUP: Daltrimore Velmora Device Server Ver ") + kVersionText, log);
    SystemLog::Information(StartedEventText(instanceName, kVersionText));
  }
  LogDebug("--Debug Mode Enabled--", log);

  if (initialised) {
    beforeStep = LastLoggedLine();
    exitCode = ExitCodeOfCycle(RunConnectionCycle(*port, listener, service, serial, log, status,
                                                  tls.get()));
    LastLogLine cause = LastLoggedLine();
    if (exitCode != kExitOnRequest) {
      failureLine = cause.count != beforeStep.count ? cause.message : FailureReason(exitCode);
    }
  }
  if (exitCode == kExitOnRequest) {
    status.Stopping();
  } else {
    status.Failed(exitCode);
  }

  ReportServiceStatus(os::kServiceStopPending, 0, 0, 250);
  CloseListener(listener);
  port.reset();
  LogEvent(std::string("SHUTDOWN: Daltrimore Velmora Device Server Ver ") + kVersionText, log);
  if (exitCode == kExitOnRequest) {
    SystemLog::Information(StoppedEventText(instanceName));
  } else {
    SystemLog::Error(FailureEventText(instanceName, failureLine, exitCode));
  }
  ReportServiceStatus(os::kServiceStopped, exitCode, 0, 0);
}
