// Bit rates by number through the kernel's termios2 interface, so that a rate without a B-constant
// (14400, 28800, 250000, ...) can be set. Kept apart from serial.cpp: <asm/termbits.h>, which
// defines termios2, and <termios.h> cannot be included in the same file.
#pragma once

#include <cstdint>

namespace os::posix {

// Sets input and output rate of the terminal `fd` to `rate` bits per second, leaving every other
// setting as it is. Returns 0 or the errno of the refusal (a driver may refuse a rate it cannot
// make).
int SetTermiosBitRate(int fd, std::uint32_t rate);

// The output rate the driver holds, in bits per second. Returns 0 or an errno.
int GetTermiosBitRate(int fd, std::uint32_t* rate);

}  // namespace os::posix
