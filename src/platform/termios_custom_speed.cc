#include "platform/termios_custom_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace qarn {

bool SetCustomLineSpeed(int fd, uint32_t bits_per_second) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = bits_per_second;
  t.c_ospeed = bits_per_second;
  return ioctl(fd, TCSETS2, &t) == 0;
}

}  // namespace qarn
