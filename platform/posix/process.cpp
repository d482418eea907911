#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/app.h"

extern char** environ;

namespace tavrik::platform {
namespace {

// Owns one descriptor; close is never retried (the fd is gone either way).
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  Fd read;
  Fd write;
};

// Both ends close-on-exec from birth, so no other child inherits them and
// a reader always sees end of file.
int makePipe(Pipe& p) {
  int fds[2];
#if defined(__APPLE__)
  // No pipe2 here; children get POSIX_SPAWN_CLOEXEC_DEFAULT instead.
  if (::pipe(fds) != 0) return errno;
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
#else
  if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
#endif
  p.read = Fd(fds[0]);
  p.write = Fd(fds[1]);
  return 0;
}

class SpawnSetup {
 public:
  SpawnSetup() {
    ::posix_spawn_file_actions_init(&actions_);
    ::posix_spawnattr_init(&attr_);
    // Ignored signals (SIGPIPE) and our mask survive exec: reset both.
    sigset_t all;
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    ::posix_spawnattr_setsigdefault(&attr_, &all);
    sigset_t none;
    sigemptyset(&none);
    ::posix_spawnattr_setsigmask(&attr_, &none);
    int flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
#if defined(__APPLE__)
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
    ::posix_spawnattr_setflags(&attr_, static_cast<short>(flags));
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attr_);
  }

  void redirect(int fd, int target) { ::posix_spawn_file_actions_adddup2(&actions_, fd, target); }

  // Errno-style result of posix_spawn; the child sees only 0, 1 and 2.
  int spawn(pid_t& pid, const std::string& path, const std::vector<std::string>& argv) {
#if defined(__APPLE__)
    for (int fd = 0; fd <= 2; ++fd) ::posix_spawn_file_actions_addinherit_np(&actions_, fd);
#elif defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Also covers descriptors that libraries opened without O_CLOEXEC.
    ::posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
#endif
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    return ::posix_spawn(&pid, path.c_str(), &actions_, &attr_, args.data(), environ);
  }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
};

std::int32_t exitStatus(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return 255;
}

int waitFor(pid_t pid) {
  int raw = 0;
  while (::waitpid(pid, &raw, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return raw;
}

constexpr int kBigPipe = 1 << 20;

std::string describe(int error) { return std::generic_category().message(error); }

// Appends what is readable now (the fd is non-blocking); false at end of
// file or on a hard error.
bool drain(int fd, std::string& into) {
  std::array<char, 65536> buf;
  for (;;) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n > 0) {
      into.append(buf.data(), static_cast<std::size_t>(n));
      if (static_cast<std::size_t>(n) < buf.size()) return true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;
    return false;
  }
}

}  // namespace

void prepareProcess() {
  ::signal(SIGPIPE, SIG_IGN);
  // Children get our 0, 1 and 2: make sure they are open (to /dev/null)
  // so a pipe can never land on them.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0) ::open("/dev/null", O_RDWR);
  }
}

std::variant<ToolExit, LaunchError> runTool(const std::string& path,
                                            const std::vector<std::string>& argv,
                                            const std::optional<std::string>& stdinBytes) {
  Pipe in, out, err;
  if (int e = makePipe(out); e != 0) return LaunchError{describe(e)};
  if (int e = makePipe(err); e != 0) return LaunchError{describe(e)};
  if (stdinBytes) {
    if (int e = makePipe(in); e != 0) return LaunchError{describe(e)};
  }

  SpawnSetup setup;
  if (stdinBytes) setup.redirect(in.read.get(), 0);
  setup.redirect(out.write.get(), 1);
  setup.redirect(err.write.get(), 2);
  pid_t pid = 0;
  if (int e = setup.spawn(pid, path, argv); e != 0) return LaunchError{describe(e)};
  in.read.reset();
  out.write.reset();
  err.write.reset();

  ToolExit result{0, {}, {}};
  std::string_view pending = stdinBytes ? std::string_view(*stdinBytes) : std::string_view();
  if (in.write && pending.empty()) in.write.reset();
  // Non-blocking on our side: a full read must never wait for more while
  // the tool waits for us to drain the other stream.
  for (const Fd* fd : {&in.write, &out.read, &err.read}) {
    if (*fd) ::fcntl(fd->get(), F_SETFL, O_NONBLOCK);
  }
#if defined(F_SETPIPE_SZ)
  // Large texts move in fewer, larger steps; small ones keep the default.
  if (pending.size() > static_cast<std::size_t>(kBigPipe))
    ::fcntl(in.write.get(), F_SETPIPE_SZ, kBigPipe);
  ::fcntl(out.read.get(), F_SETPIPE_SZ, kBigPipe);
#endif

  // Feed standard input while draining both outputs, so no amount of
  // output in any order can block either side.
  while (in.write || out.read || err.read) {
    std::array<pollfd, 3> fds{};
    nfds_t n = 0;
    const auto watch = [&](const Fd& fd, short events) {
      if (fd) fds[n++] = pollfd{fd.get(), events, 0};
    };
    watch(in.write, POLLOUT);
    watch(out.read, POLLIN);
    watch(err.read, POLLIN);
    if (::poll(fds.data(), n, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (nfds_t i = 0; i < n; ++i) {
      const pollfd& p = fds[i];
      if (p.revents == 0) continue;
      if (in.write && p.fd == in.write.get()) {
        const ssize_t w = ::write(p.fd, pending.data(), pending.size());
        if (w > 0) {
          pending.remove_prefix(static_cast<std::size_t>(w));
          if (pending.empty()) in.write.reset();
        } else if (w < 0 && errno != EINTR && errno != EAGAIN) {
          in.write.reset();  // EPIPE: the tool stopped reading; keep collecting.
        }
      } else if (out.read && p.fd == out.read.get()) {
        if (!drain(p.fd, result.out)) out.read.reset();
      } else if (err.read && p.fd == err.read.get()) {
        if (!drain(p.fd, result.err)) err.read.reset();
      }
    }
  }
  in.write.reset();
  out.read.reset();
  err.read.reset();

  const int raw = waitFor(pid);
  result.status = raw < 0 ? 255 : exitStatus(raw);
  return result;
}

bool spawnDetached(const std::string& path, const std::vector<std::string>& argv) {
  SpawnSetup setup;
  pid_t pid = 0;
  if (setup.spawn(pid, path, argv) != 0) return false;
  // One waiter per child: never waitpid(-1), which would steal the status
  // of a tool run.
  try {
    std::thread([pid] { waitFor(pid); }).detach();
  } catch (const std::system_error&) {
    // No thread to spare. Waiting here could stall the main thread, which
    // is worse than one zombie.
  }
  return true;
}

}  // namespace tavrik::platform
