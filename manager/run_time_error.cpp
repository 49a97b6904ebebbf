#include "run_time_error.h"

RunTimeFailure::RunTimeFailure(int number)
    : std::runtime_error(RunTimeErrorDescription(number)), number_(number) {}

std::string RunTimeErrorDescription(int number) {
  switch (number) {
    case kErrInvalidProcedureCall: return "Invalid procedure call or argument";
    case kErrOverflow: return "Overflow";
    case kErrSubscriptOutOfRange: return "Subscript out of range";
    case kErrTypeMismatch: return "Type mismatch";
    case kErrBadFileNameOrNumber: return "Bad file name or number";
    case kErrFileNotFound: return "File not found";
    case kErrBadFileMode: return "Bad file mode";
    case kErrFileAlreadyOpen: return "File already open";
    case kErrDeviceIO: return "Device I/O error";
    case kErrFileAlreadyExists: return "File already exists";
    case kErrDiskFull: return "Disk full";
    case kErrInputPastEnd: return "Input past end of file";
    case kErrBadFileName: return "Bad file name";
    case kErrTooManyFiles: return "Too many files";
    case kErrDeviceUnavailable: return "Device unavailable";
    case kErrPermissionDenied: return "Permission denied";
    case kErrDiskNotReady: return "Disk not ready";
    case kErrPathFileAccess: return "Path/File access error";
    case kErrPathNotFound: return "Path not found";
    case kErrObjectNotSet: return "Object variable or With block variable not set";
    case kErrNoSuchEntry: return "Value is not one of the list's entries";
    default: return "Application-defined or object-defined error";
  }
}

int RunTimeErrorFromWin32(int win32Error) {
  switch (win32Error) {
    case 0: return 0;
    case 2: return kErrFileNotFound;         // ERROR_FILE_NOT_FOUND
    case 3: return kErrPathNotFound;         // ERROR_PATH_NOT_FOUND
    case 267: return kErrPathNotFound;       // ERROR_DIRECTORY
    case 4: return kErrTooManyFiles;         // ERROR_TOO_MANY_OPEN_FILES
    case 5: return kErrPathFileAccess;       // ERROR_ACCESS_DENIED (also read-only files)
    case 19: return kErrPermissionDenied;    // ERROR_WRITE_PROTECT
    case 32: return kErrPermissionDenied;    // ERROR_SHARING_VIOLATION
    case 33: return kErrPermissionDenied;    // ERROR_LOCK_VIOLATION
    case 15: return kErrDeviceUnavailable;   // ERROR_INVALID_DRIVE
    case 53: return kErrDeviceUnavailable;   // ERROR_BAD_NETPATH
    case 67: return kErrDeviceUnavailable;   // ERROR_BAD_NET_NAME
    case 21: return kErrDiskNotReady;        // ERROR_NOT_READY
    case 23: case 25: case 29: case 30: case 31:  // CRC, seek, write fault, read fault, general
      return kErrDeviceIO;
    case 38: return kErrInputPastEnd;        // ERROR_HANDLE_EOF
    case 39: case 112: return kErrDiskFull;  // ERROR_HANDLE_DISK_FULL, ERROR_DISK_FULL
    case 80: case 183: return kErrFileAlreadyExists;  // ERROR_FILE_EXISTS, ERROR_ALREADY_EXISTS
    case 123: case 161: case 206:            // invalid name, bad path name, name too long
      return kErrBadFileNameOrNumber;
    default: return kErrPathFileAccess;
  }
}
