// termios2 lives in asm/termbits.h, which cannot share a file with glibc's <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdint>

namespace testsupport {

std::uint32_t OutputSpeed(int fd) {
  termios2 t{};
  return ::ioctl(fd, TCGETS2, &t) == 0 ? t.c_ospeed : 0;
}

}  // namespace testsupport
