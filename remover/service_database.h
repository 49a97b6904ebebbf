// The removal tool's seams. The pass over the services is portable; the Win32 main supplies the
// real service database and host (win32/), tests supply fakes whose clock moves with Sleep.
// Every call returns 0 or a Win32 error number; handles are opaque, 0 is no handle.
#pragma once

#include <cstdint>
#include <string>

using ScHandle = std::uintptr_t;

enum ServiceState : std::uint32_t {
  kServiceStopped = 1,
  kServiceStartPending = 2,
  kServiceStopPending = 3,
  kServiceRunning = 4,
};

constexpr std::uint32_t kGenericWrite = 0x40000000;
constexpr std::uint32_t kServiceAllAccess = 0xF01FF;

class ServiceDatabase {
 public:
  virtual ~ServiceDatabase() = default;
  // OpenSCManagerA: local machine, default database.
  virtual int OpenServiceManager(std::uint32_t access, ScHandle* manager) = 0;
  // OpenServiceA.
  virtual int OpenServiceEntry(ScHandle manager, const std::string& name, std::uint32_t access,
                               ScHandle* service) = 0;
  // QueryServiceStatus: the current state.
  virtual int QueryServiceState(ScHandle service, std::uint32_t* state) = 0;
  // ControlService with SERVICE_CONTROL_STOP.
  virtual int SendStopControl(ScHandle service) = 0;
  // DeleteService.
  virtual int DeleteServiceEntry(ScHandle service) = 0;
  // CloseServiceHandle.
  virtual void CloseServiceEntry(ScHandle handle) = 0;
  virtual void Sleep(std::uint32_t milliseconds) = 0;
  // The current time in whole seconds.
  virtual std::int64_t NowSeconds() = 0;
};

// The rest of what the tool needs of its platform.
class ToolHost {
 public:
  virtual ~ToolHost() = default;
  // The tool's own program path (up to 260 characters).
  virtual int GetProgramPath(std::string* path) = 0;
  // ReadWholeFile: the whole file byte for byte, other writers denied.
  virtual int ReadWholeFile(const std::string& path, std::string* content) = 0;
  // A system-modal message box, exclamation icon, OK button, titled kToolTitle.
  virtual void ShowMessageBox(const std::string& text) = 0;
  // Standard output.
  virtual void Write(const std::string& text) = 0;
  virtual void Flush() = 0;
};

inline constexpr const char* kToolTitle = "Daltrimore Velmora Device Server";
