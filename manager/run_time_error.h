// Run-time failures of the manager: numbered like the failures the system's texts name
// ("file not found" 53, "path not found" 76, "Overflow" 6 ...). A manager procedure that fails
// raises a RunTimeFailure; every control event traps its own failures and words the message.
#pragma once

#include <stdexcept>
#include <string>

// Numbers used by the manager.
constexpr int kErrInvalidProcedureCall = 5;
constexpr int kErrOverflow = 6;
constexpr int kErrSubscriptOutOfRange = 9;
constexpr int kErrTypeMismatch = 13;
constexpr int kErrBadFileNameOrNumber = 52;
constexpr int kErrFileNotFound = 53;
constexpr int kErrBadFileMode = 54;
constexpr int kErrFileAlreadyOpen = 55;
constexpr int kErrDeviceIO = 57;
constexpr int kErrFileAlreadyExists = 58;
constexpr int kErrDiskFull = 61;
constexpr int kErrInputPastEnd = 62;
constexpr int kErrBadFileName = 64;
constexpr int kErrTooManyFiles = 67;
constexpr int kErrDeviceUnavailable = 68;
constexpr int kErrPermissionDenied = 70;
constexpr int kErrDiskNotReady = 71;
constexpr int kErrPathFileAccess = 75;
constexpr int kErrPathNotFound = 76;
constexpr int kErrObjectNotSet = 91;
constexpr int kErrNoSuchEntry = 383;  // a value that is not an entry of a pick-only list

class RunTimeFailure : public std::runtime_error {
 public:
  explicit RunTimeFailure(int number);
  int Number() const { return number_; }

 private:
  int number_;
};

// The description of a run-time failure number ("Overflow", "File not found", ...).
std::string RunTimeErrorDescription(int number);

// Maps a Win32 error number reported by the file-system seam onto the run-time failure number
// the manager's messages are chosen by. 0 stays 0; an error without a closer match is a
// path/file access error (75).
int RunTimeErrorFromWin32(int win32Error);
