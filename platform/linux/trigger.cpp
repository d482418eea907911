// The trigger socket. One request per connection: the client writes
// "push\n" or "pull\n" and reads "ok\n" or "refused\n", or "status\n" and
// reads the lines the agent wrote at start, then an empty one. Only processes of the agent's
// own user are served, and a client only talks to an agent of its own user.
#include "platform/linux/trigger.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

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

std::optional<ucred> peerOf(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return std::nullopt;
  return peer;
}

bool peerIsUs(int fd) {
  const auto peer = peerOf(fd);
  return peer && peer->uid == ::getuid();
}

// Reads one line, or `whole`, lines up to an empty one, within the deadline
// and a bound; what was read (the client's side: it has nothing else to do
// meanwhile).
std::string readReply(int fd, desktop::Millis deadline, bool whole) {
  std::string line;
  char buf[256];
  while ((whole ? !line.ends_with("\n\n") : line.find('\n') == std::string::npos) &&
         line.size() < (whole ? 4096 : 64)) {
    const desktop::Millis left = deadline - desktop::monotonicMillis();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<std::size_t>(n));
  }
  if (whole) return line.ends_with("\n\n") ? line.substr(0, line.size() - 1) : std::string();
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

// A few bytes to a client (a socket buffer always has room for them); false
// when the client has gone.
bool answer(int fd, std::string_view text) {
  return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
         static_cast<ssize_t>(text.size());
}

// Once a trigger has arrived, this user's bindings work: the advice to make
// them is not shown again.
void rememberTriggerUsed() {
  static bool remembered = false;
  if (remembered) return;
  remembered = true;
  desktop::writeStateFile("trigger-used", "");
}

// What --trigger status answers: the lines written at start.
std::string report;

// The socket and its clients, each read without blocking and with a
// deadline of its own: a client that says nothing costs the loop nothing.
class Server final : public desktop::Source {
 public:
  explicit Server(int fd) : fd_(fd) {}

  std::optional<desktop::Millis> prepare() override {
    const desktop::Millis now = desktop::monotonicMillis();
    std::erase_if(clients_, [now](const Client& c) {
      if (c.deadline > now) return false;
      ::close(c.fd);
      return true;
    });
    if (clients_.empty()) return std::nullopt;
    return clients_.front().deadline;  // accepted in order, with one timeout
  }

  void watch(std::vector<pollfd>& fds) override {
    fds.push_back({fd_, POLLIN, 0});
    for (const auto& c : clients_) fds.push_back({c.fd, POLLIN, 0});
  }

  bool handle(std::span<const pollfd> fds) override {
    // Clients first: accepting may drop the oldest, shifting the entries.
    for (const auto& p : fds.subspan(1)) {
      if (p.revents != 0) read(p.fd);
    }
    if (!fds.empty() && fds[0].revents != 0) acceptAll();
    return true;
  }

 private:
  struct Client {
    int fd;
    desktop::Millis deadline;
    std::string request;
  };
  // Clients waiting to be read; beyond this the oldest is dropped.
  static constexpr std::size_t kMaxPending = 16;

  void acceptAll() {
    for (;;) {
      const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (client < 0) return;
      if (!peerIsUs(client)) {
        (void)answer(client, "refused\n");
        ::close(client);
        platform::writeStderr("tavrik: từ chối lệnh --trigger của người dùng khác\n");
        continue;
      }
      if (clients_.size() == kMaxPending) {
        ::close(clients_.front().fd);
        clients_.erase(clients_.begin());
      }
      clients_.push_back({client, desktop::monotonicMillis() + kAnswerTimeout, {}});
    }
  }

  void read(int fd) {
    const auto it = std::find_if(clients_.begin(), clients_.end(),
                                 [fd](const Client& c) { return c.fd == fd; });
    if (it == clients_.end()) return;
    char buf[64];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n > 0) it->request.append(buf, static_cast<std::size_t>(n));
    const std::size_t end = it->request.find('\n');
    if (end == std::string::npos && n > 0 && it->request.size() < 64) return;
    const std::string request = it->request.substr(0, end);
    clients_.erase(it);
    if (request == "status") {
      (void)answer(fd, (report.empty() ? "tavrik: đang khởi động\n" : report) + "\n");
      ::close(fd);
      return;
    }
    const std::uint32_t id = request == "push" ? 1 : request == "pull" ? 2 : 0;
    // A client that stopped waiting has told its user that nothing
    // happened, and closed: then nothing happens.
    const bool heard = answer(fd, id == 0 ? "refused\n" : "ok\n");
    ::close(fd);
    if (id == 0) return;
    if (!heard) {
      platform::writeStderr("tavrik: bỏ lệnh --trigger " + request +
                            ": lệnh đã thôi chờ câu trả lời\n");
      return;
    }
    rememberTriggerUsed();
    desktop::deliverPress(id);  // during a run it is dropped, like a press
  }

  int fd_;
  std::vector<Client> clients_;
};

bool serving = false;
std::string served;

}  // namespace

bool listen() {
  const std::string path = socketPath();
  sockaddr_un address;
  if (path.empty() || !fill(address, path)) return true;
  // An agent already answering is this user's agent in this session: a
  // second one would only fight it for the keys. A stale file is replaced.
  const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe >= 0) {
    const bool taken =
        ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    const auto peer = taken ? peerOf(probe) : std::nullopt;
    ::close(probe);
    if (taken) {
      platform::writeStderr("tavrik: tavrik-agent đang chạy rồi (pid " +
                            (peer ? std::to_string(peer->pid) : std::string("?")) +
                            ", nhận --trigger ở " + path + "); bản này thoát\n");
      return false;
    }
  }
  ::unlink(path.c_str());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    platform::writeStderr("tavrik: không mở được " + path + ": " + std::strerror(errno) + "\n");
    return true;
  }
  // Private from birth: no moment at which another user could connect.
  const mode_t previous = ::umask(0177);
  const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::umask(previous);
  if (!bound || ::listen(fd, 64) != 0) {
    platform::writeStderr("tavrik: không mở được " + path + ": " + std::strerror(errno) + "\n");
    ::close(fd);
    return true;
  }
  desktop::addSource(new Server(fd));  // kept for the life of the process
  serving = true;
  served = path;
  return true;
}

void keep(std::string_view line) { report += line; }

bool listening() { return serving; }

bool triggerUsedBefore() {
  const std::string file = desktop::stateFile("trigger-used");
  return !file.empty() && ::access(file.c_str(), F_OK) == 0;
}

void stop() {
  if (serving) ::unlink(served.c_str());
}

int send(std::string_view action) {
  const bool status = action == "status";
  if (action != "push" && action != "pull" && !status) {
    platform::writeStderr("tavrik: --trigger cần push, pull hoặc status\n");
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
  const desktop::Millis deadline = desktop::monotonicMillis() + kAnswerTimeout;
  const std::string reply = readReply(fd, deadline, status);
  ::close(fd);
  if (reply == "ok") return 0;
  if (status && !reply.empty()) {
    for (std::string_view out = reply; !out.empty();) {
      const ssize_t n = ::write(1, out.data(), out.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return 1;
      out.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
  }
  // Silence until the deadline is not a refusal: the agent is stuck.
  const bool late = reply.empty() && desktop::monotonicMillis() >= deadline;
  platform::writeStderr("tavrik-agent " + std::string(late ? "không trả lời" : "từ chối") +
                        " lệnh --trigger " + std::string(action) + "\n");
  return 1;
}

}  // namespace tavrik::trigger
