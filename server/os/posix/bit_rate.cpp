// Only these two headers: <asm/termbits.h> clashes with <termios.h> (see bit_rate.h).
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "bit_rate.h"

namespace os::posix {

int SetTermiosBitRate(int fd, std::uint32_t rate) {
  struct termios2 settings;
  if (ioctl(fd, TCGETS2, &settings) != 0) return errno;
  // BOTHER: the rate is the number in c_ospeed / c_ispeed, not a B-constant.
  settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  settings.c_ospeed = rate;
  settings.c_ispeed = rate;
  if (ioctl(fd, TCSETS2, &settings) != 0) return errno;
  return 0;
}

int GetTermiosBitRate(int fd, std::uint32_t* rate) {
  struct termios2 settings;
  if (ioctl(fd, TCGETS2, &settings) != 0) return errno;
  *rate = settings.c_ospeed;
  return 0;
}

}  // namespace os::posix
