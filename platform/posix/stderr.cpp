#include "platform/stderr.h"

#include <unistd.h>

#include <cerrno>

namespace tavrik::platform {

namespace {

void writeAll(int fd, std::string_view message) {
  // One write request; only a short write (pipe under pressure) loops.
  const char* p = message.data();
  std::size_t left = message.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace

void writeStderr(std::string_view message) { writeAll(STDERR_FILENO, message); }

void writeStdout(std::string_view message) { writeAll(STDOUT_FILENO, message); }

}  // namespace tavrik::platform
