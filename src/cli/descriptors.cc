#include "cli/descriptors.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

bool OpenStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open(2) takes the lowest free descriptor: this one, as every lower
    // one is open by now. Read and write, for whichever of the three it is;
    // it stays open for the whole run, as a standard descriptor does.
    if (open("/dev/null", O_RDWR | O_NOCTTY) < 0) return false;
  }
  return true;
}
