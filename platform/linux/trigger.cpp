// The trigger socket. One request per connection: the client writes
// "push\n" or "pull\n" and reads "ok\n" or "refused\n". Only processes of
// the agent's own user are served, and a client only talks to an agent of
// its own user.
#include "platform/linux/trigger.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/linux/desktop.h"
#include "platform/stderr.h"

namespace tavrik::trigger {
namespace {

// How long either side waits for the other's few bytes.
constexpr desktop::Millis kAnswerTimeout = 2000;

std::string socketPath() {
  const char* dir = std::getenv("XDG_RUNTIME_DIR");
  if (dir == nullptr || *dir == '\0') return {};
  return std::string(dir) + "/tavrik-agent.sock";
}

bool fill(sockaddr_un& address, const std::string& path) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

bool peerIsUs(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::getuid();
}

// Reads up to a line feed, within the deadline; what was read.
std::string readLine(int fd, desktop::Millis deadline) {
  std::string line;
  char buf[64];
  while (line.find('\n') == std::string::npos && line.size() < 64) {
    const desktop::Millis left = deadline - desktop::monotonicMillis();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<std::size_t>(n));
  }
  return line.substr(0, line.find('\n'));
}

void writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    if (n <= 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

class Server final : public desktop::Source {
 public:
  explicit Server(int fd) : fd_(fd) {}
  void watch(std::vector<pollfd>& fds) override { fds.push_back({fd_, POLLIN, 0}); }
  bool handle(std::span<const pollfd> fds) override {
    if (fds.empty() || fds[0].revents == 0) return true;
    const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return true;
    serve(client);
    ::close(client);
    return true;
  }

 private:
  static void serve(int client) {
    if (!peerIsUs(client)) {
      writeAll(client, "refused\n");
      platform::writeStderr("tavrik: từ chối lệnh --trigger của người dùng khác\n");
      return;
    }
    const std::string request = readLine(client, desktop::monotonicMillis() + kAnswerTimeout);
    const std::uint32_t id = request == "push" ? 1 : request == "pull" ? 2 : 0;
    if (id == 0) {
      writeAll(client, "refused\n");
      return;
    }
    writeAll(client, "ok\n");
    desktop::deliverPress(id);  // during a run it is dropped, like a press
  }

  int fd_;
};

bool serving = false;
std::string served;

}  // namespace

void listen() {
  const std::string path = socketPath();
  sockaddr_un address;
  if (path.empty() || !fill(address, path)) return;
  // An agent already answering keeps the socket; a stale file does not.
  const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe >= 0) {
    const bool taken =
        ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    if (taken) {
      platform::writeStderr("tavrik: một tavrik-agent khác đang nhận --trigger ở " + path + "\n");
      return;
    }
  }
  ::unlink(path.c_str());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return;
  // Private from birth: no moment at which another user could connect.
  const mode_t previous = ::umask(0177);
  const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::umask(previous);
  if (!bound || ::listen(fd, 8) != 0) {
    platform::writeStderr("tavrik: không mở được " + path + ": " + std::strerror(errno) + "\n");
    ::close(fd);
    return;
  }
  desktop::addSource(new Server(fd));  // kept for the life of the process
  serving = true;
  served = path;
}

bool listening() { return serving; }

void stop() {
  if (serving) ::unlink(served.c_str());
}

int send(std::string_view action) {
  if (action != "push" && action != "pull") {
    platform::writeStderr("tavrik: --trigger cần push hoặc pull\n");
    return 2;
  }
  const std::string path = socketPath();
  sockaddr_un address;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (path.empty() || !fill(address, path) || fd < 0 ||
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    platform::writeStderr("tavrik: không thấy tavrik-agent nào đang chạy (" +
                          (path.empty() ? std::string("XDG_RUNTIME_DIR chưa đặt") : path) + ")\n");
    if (fd >= 0) ::close(fd);
    return 1;
  }
  if (!peerIsUs(fd)) {
    platform::writeStderr("tavrik: " + path + " thuộc người dùng khác\n");
    ::close(fd);
    return 1;
  }
  writeAll(fd, std::string(action) + "\n");
  ::shutdown(fd, SHUT_WR);
  const std::string answer = readLine(fd, desktop::monotonicMillis() + kAnswerTimeout);
  ::close(fd);
  if (answer == "ok") return 0;
  platform::writeStderr("tavrik-agent từ chối lệnh --trigger " + std::string(action) + "\n");
  return 1;
}

}  // namespace tavrik::trigger
