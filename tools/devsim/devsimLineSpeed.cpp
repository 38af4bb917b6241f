// Line speed of a terminal through termios2, which carries any rate as a number. Kept apart
// because <asm/termbits.h> cannot share a translation unit with <termios.h>.

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdint>

namespace probrix::devsim {

std::uint32_t ReadLineSpeed(int Fd) {
  struct termios2 tio {};
  if (ioctl(Fd, TCGETS2, &tio) != 0) return 0;
  return tio.c_ospeed;
}

bool SetLineSpeed(int Fd, std::uint32_t Baud) {
  struct termios2 tio {};
  if (ioctl(Fd, TCGETS2, &tio) != 0) return false;
  tio.c_cflag &= ~CBAUD;
  tio.c_cflag |= BOTHER;
  tio.c_ispeed = Baud;
  tio.c_ospeed = Baud;
  return ioctl(Fd, TCSETS2, &tio) == 0;
}

}  // namespace probrix::devsim
