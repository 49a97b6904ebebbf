#include <cerrno>

#include "posix_internal.h"

namespace os::posix {

int Win32ErrorFromErrno(int error) {
  switch (error) {
    case 0: return 0;
    case ENOENT:
    case ENXIO:
    case ENODEV: return kErrFileNotFound;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK: return kErrAccessDenied;
    case EBADF: return kErrInvalidHandle;
    case EINVAL: return kErrInvalidParameter;
    case ENOTTY: return 50;   // ERROR_NOT_SUPPORTED
    case EIO: return kErrDeviceNotConnected;
    case ENOMEM: return 8;    // ERROR_NOT_ENOUGH_MEMORY
    case EMFILE:
    case ENFILE: return 4;    // ERROR_TOO_MANY_OPEN_FILES
    case ENAMETOOLONG: return 206;  // ERROR_FILENAME_EXCED_RANGE
    case ENOTDIR: return 3;   // ERROR_PATH_NOT_FOUND
    default: return 31;       // ERROR_GEN_FAILURE
  }
}

int WsaErrorFromErrno(int error) {
  switch (error) {
    case 0: return 0;
    case EWOULDBLOCK: return kWsaWouldBlock;
    case EINPROGRESS: return 10036;
    case EBADF: return 10009;
    case EINVAL: return 10022;
    case EMFILE:
    case ENFILE: return 10024;
    case ENOTSOCK: return 10038;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return kWsaAddrInUse;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ECONNABORTED: return kWsaConnAborted;
    case ECONNRESET: return kWsaConnReset;
    case ENOBUFS:
    case ENOMEM: return 10055;
    case ENOTCONN: return kWsaNotConnected;
    case EPIPE:
    case ESHUTDOWN: return kWsaShutdown;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case EHOSTUNREACH: return 10065;
    case EACCES: return 10013;
    default: return 10022;
  }
}

}  // namespace os::posix
