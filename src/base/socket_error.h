// Socket failures are reported with the Windows Sockets error numbers that the message
// server's operators know (10061 "Connection refused" and so on).
#pragma once

namespace qarn {

inline constexpr int kSocketInterrupted = 10004;  // the caller asked to stop
inline constexpr int kSocketBadAddress = 10014;
inline constexpr int kSocketWouldBlock = 10035;
inline constexpr int kSocketTimedOut = 10060;
inline constexpr int kSocketRefused = 10061;
inline constexpr int kSocketReset = 10054;
inline constexpr int kSocketNotConnected = 10057;
inline constexpr int kSocketHostNotFound = 11001;

// The number for a POSIX errno value; the errno itself when none corresponds.
int SocketErrorNumber(int posix_errno);

}  // namespace qarn
