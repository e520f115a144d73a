// Line speeds that have no B-constant (14400, 56000, 128000, 256000 bits per second).
#pragma once

#include <cstdint>

namespace qarn {

// Sets both speeds of the open terminal `fd` to `bits_per_second` through the kernel's
// arbitrary-rate interface. Kept apart because its headers clash with <termios.h>.
bool SetCustomLineSpeed(int fd, uint32_t bits_per_second);

}  // namespace qarn
