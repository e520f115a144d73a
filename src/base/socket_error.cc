#include "base/socket_error.h"

#include <cerrno>

namespace qarn {
namespace {

struct SocketError {
  int posix;  // 0: none on this system
  int number;
  const char* text;
};

// Several system errors may share a number (a write to a connection the peer has closed is a
// reset to the server's operators); a number's text is its first row's.
constexpr SocketError kSocketErrors[] = {
    {EINTR, 10004, "Interrupted system call"},
    {EBADF, 10009, "Bad file number"},
    {EACCES, 10013, "Permission denied"},
    {EFAULT, 10014, "Bad address"},
    {EINVAL, 10022, "Invalid argument"},
    {EMFILE, 10024, "Too many open files"},
    {EWOULDBLOCK, 10035, "Operation would block"},
    {EINPROGRESS, 10036, "Operation now in progress"},
    {EALREADY, 10037, "Operation already in progress"},
    {ENOTSOCK, 10038, "Socket operation on non-socket"},
    {EDESTADDRREQ, 10039, "Destination address required"},
    {EMSGSIZE, 10040, "Message too long"},
    {EPROTOTYPE, 10041, "Protocol wrong type for socket"},
    {ENOPROTOOPT, 10042, "Protocol not available"},
    {EPROTONOSUPPORT, 10043, "Protocol not supported"},
    {ESOCKTNOSUPPORT, 10044, "Socket type not supported"},
    {EOPNOTSUPP, 10045, "Operation not supported on socket"},
    {EPFNOSUPPORT, 10046, "Protocol family not supported"},
    {EAFNOSUPPORT, 10047, "Address family not supported by protocol family"},
    {EADDRINUSE, 10048, "Address already in use"},
    {EADDRNOTAVAIL, 10049, "Can't assign requested address"},
    {ENETDOWN, 10050, "Network is down"},
    {ENETUNREACH, 10051, "Network is unreachable"},
    {ENETRESET, 10052, "Network dropped connection on reset"},
    {ECONNABORTED, 10053, "Software caused connection abort"},
    {ECONNRESET, 10054, "Connection reset by peer"},
    {EPIPE, 10054, "Connection reset by peer"},
    {ENOBUFS, 10055, "No buffer space available"},
    {EISCONN, 10056, "Socket is already connected"},
    {ENOTCONN, 10057, "Socket is not connected"},
    {ESHUTDOWN, 10058, "Can't send after socket shutdown"},
    {ETOOMANYREFS, 10059, "Too many references: can't splice"},
    {ETIMEDOUT, 10060, "Connection timed out"},
    {ECONNREFUSED, 10061, "Connection refused"},
    {ELOOP, 10062, "Too many levels of symbolic links"},
    {ENAMETOOLONG, 10063, "File name too long"},
    {EHOSTDOWN, 10064, "Host is down"},
    {EHOSTUNREACH, 10065, "No route to host"},
    {ENOTEMPTY, 10066, "Directory not empty"},
    {0, 10067, "Too many processes"},
    {EUSERS, 10068, "Too many users"},
    {EDQUOT, 10069, "Disk quota exceeded"},
    {ESTALE, 10070, "Stale NFS file handle"},
    {EREMOTE, 10071, "Too many levels of remote in path"},
    {0, 10091, "Network sub-system is unusable"},
    {0, 10092, "WinSock DLL cannot support this application"},
    {0, 10093, "WinSock not initialized"},
    {0, 11001, "Host not found"},
    {0, 11002, "Non-authoritative host not found"},
    {0, 11003, "Non-recoverable error"},
    {0, 11004, "No Data"},
};

}  // namespace

int SocketErrorNumber(int posix_errno) {
  if (posix_errno == 0) return 0;
  for (const SocketError& e : kSocketErrors) {
    if (e.posix == posix_errno) return e.number;
  }
  return posix_errno;
}

const char* SocketErrorText(int error_number) {
  for (const SocketError& e : kSocketErrors) {
    if (e.number == error_number) return e.text;
  }
  return "Not a WinSock error ?";
}

}  // namespace qarn
