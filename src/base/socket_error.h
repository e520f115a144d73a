// Socket failures are reported with the Windows Sockets error numbers that the message
// server's operators know (10061 "Connection refused" and so on): one table of the system's
// errors, their numbers and their texts, for both links and the simulators.
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
// The number's text ("Connection refused"), or "Not a WinSock error ?" for any other number.
const char* SocketErrorText(int error_number);

}  // namespace qarn
