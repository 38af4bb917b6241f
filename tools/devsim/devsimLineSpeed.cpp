// Line speed and character format of a terminal through termios2, which carries any rate as a
// number. Kept apart because <asm/termbits.h> cannot share a translation unit with <termios.h>.

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdint>

#include "devsim/devsimEndpoint.h"

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

bool ReadLineShape(int Fd, TLineShape& Shape) {
  struct termios2 tio {};
  if (ioctl(Fd, TCGETS2, &tio) != 0) return false;
  switch (tio.c_cflag & CSIZE) {
    case CS5:
      Shape.DataBits = 5;
      break;
    case CS6:
      Shape.DataBits = 6;
      break;
    case CS7:
      Shape.DataBits = 7;
      break;
    default:
      Shape.DataBits = 8;
      break;
  }
  Shape.Parity = (tio.c_cflag & PARENB) != 0;
  Shape.OddParity = (tio.c_cflag & PARODD) != 0;
  Shape.TwoStopBits = (tio.c_cflag & CSTOPB) != 0;
  return true;
}

}  // namespace probrix::devsim
