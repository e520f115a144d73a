// The K7 client's error table: error numbers and their texts.
#pragma once

#include <string>

namespace qarn {

inline constexpr int kErrorBadAddress = 10014;
inline constexpr int kErrorWouldBlock = 10035;
inline constexpr int kErrorConnectionReset = 10054;
inline constexpr int kErrorTimedOut = 10060;
inline constexpr int kErrorConnectionRefused = 10061;

// The table's text, or "Not a WinSock error ?" for any other number.
const char* SocketErrorText(int error_number);

}  // namespace qarn
