// The K7 client's error table: error numbers and their texts.
#pragma once

#include <string>

#include "base/socket_error.h"

namespace qarn {

// The table's text, or "Not a WinSock error ?" for any other number.
const char* SocketErrorText(int error_number);

}  // namespace qarn
