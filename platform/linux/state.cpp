// Small files the agent keeps about what it has seen work, in
// $XDG_STATE_HOME/tavrik (default ~/.local/state/tavrik); and where the
// agent itself is.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/linux/desktop.h"
#include "platform/stderr.h"

namespace tavrik::desktop {

std::string executablePath() {
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  return n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
}

std::string stateFile(std::string_view name) {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && *state == '/') return std::string(state) + "/tavrik/" + std::string(name);
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home != '/') return {};
  return std::string(home) + "/.local/state/tavrik/" + std::string(name);
}

std::string readStateFile(std::string_view name) {
  const std::string file = stateFile(name);
  const int fd = file.empty() ? -1 : ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  char buf[1024];  // these files hold a line or two
  const ssize_t n = ::read(fd, buf, sizeof buf);
  ::close(fd);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

void writeStateFile(std::string_view name, std::string_view content) {
  const std::string file = stateFile(name);
  if (file.empty()) return;
  const std::string dir = file.substr(0, file.rfind('/'));
  for (std::size_t at = 1; (at = dir.find('/', at)) != std::string::npos; ++at) {
    ::mkdir(dir.substr(0, at).c_str(), 0700);
  }
  ::mkdir(dir.c_str(), 0700);
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const bool written = fd >= 0 && ::write(fd, content.data(), content.size()) ==
                                      static_cast<ssize_t>(content.size());
  const int error = errno;
  if (fd >= 0) ::close(fd);
  if (!written) {
    platform::writeStderr("tavrik: không ghi được " + file + ": " + std::strerror(error) + "\n");
  }
}

}  // namespace tavrik::desktop
