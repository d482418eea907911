#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/app.h"
#include "platform/output_sink.h"

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
    flags_ = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
#if defined(__APPLE__)
    flags_ |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
    ::posix_spawnattr_setflags(&attr_, static_cast<short>(flags_));
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attr_);
  }

  void redirect(int fd, int target) { ::posix_spawn_file_actions_adddup2(&actions_, fd, target); }

  // The child leads a new process group, so that it and everything it
  // starts can be ended together.
  void ownGroup() {
    ::posix_spawnattr_setpgroup(&attr_, 0);
    flags_ |= POSIX_SPAWN_SETPGROUP;
    ::posix_spawnattr_setflags(&attr_, static_cast<short>(flags_));
  }

  // The child also keeps descriptor 3, redirected to.
  void keepMeta() { kept_ = 4; }

  // Errno-style result of posix_spawn; the child sees only 0, 1 and 2
  // (and 3 after keepMeta), with `envp` (ours when null).
  int spawn(pid_t& pid, const std::string& path, const std::vector<std::string>& argv,
            char** envp = nullptr) {
#if defined(__APPLE__)
    for (int fd = 0; fd < kept_; ++fd) ::posix_spawn_file_actions_addinherit_np(&actions_, fd);
#elif defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Also covers descriptors that libraries opened without O_CLOEXEC.
    ::posix_spawn_file_actions_addclosefrom_np(&actions_, kept_);
#endif
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    return ::posix_spawn(&pid, path.c_str(), &actions_, &attr_, args.data(),
                         envp != nullptr ? envp : environ);
  }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
  int flags_ = 0;
  int kept_ = 3;
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

#if defined(F_SETPIPE_SZ)
constexpr int kBigPipe = 1 << 20;
#endif
#if defined(SPLICE_F_NONBLOCK)
// Texts this large go to the pipe as references to their pages (vmsplice)
// instead of through write(): where the kernel reading user memory it has
// not read before is slow (seen on virtual machines: a fresh 64 MiB text fed
// at a fifth of the speed of a reused buffer), write() pays that on every
// page, while the tool's read copies from the pages at full speed. The text
// stays untouched until the run ends, and whatever the tool left unread is
// drained by us before then: no page of ours stays readable through the pipe.
constexpr std::size_t kSpliceFrom = std::size_t{1} << 20;
#endif

using Clock = std::chrono::steady_clock;

// After the tool has exited, output still in flight gets this long.
constexpr auto kAfterExit = std::chrono::milliseconds(200);
// Between SIGTERM and SIGKILL.
constexpr auto kTermGrace = std::chrono::seconds(2);
// Without a pidfd, how often the child is looked at.
constexpr auto kExitCheck = std::chrono::milliseconds(50);

std::string describe(int error) { return std::generic_category().message(error); }

int millisUntil(Clock::time_point t) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(t - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(ms)>(ms, 0, 1 << 30));
}

// Tells when the child has exited without reaping it: until we reap it,
// its pid and its process group cannot be reused, so signalling the group
// is safe.
class ExitWatch {
 public:
  explicit ExitWatch(pid_t pid) : pid_(pid) {
#if defined(SYS_pidfd_open)
    fd_ = Fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#endif
  }
  // Readable once the child has exited; -1 when exited() must be polled.
  int fd() const { return fd_.get(); }
  bool exited() {
    if (exited_) return true;
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
      exited_ = info.si_pid == pid_;
    } else if (errno != EINTR) {
      exited_ = true;  // not ours to wait for any more
    }
    return exited_;
  }
  // Waits until the child has exited or `until` has passed.
  bool waitUntil(Clock::time_point until) {
    while (!exited() && Clock::now() < until) {
      const int wait = std::min(millisUntil(until), fd() >= 0 ? 1 << 30 : int(kExitCheck.count()));
      pollfd p{fd(), POLLIN, 0};
      ::poll(&p, fd() >= 0 ? 1 : 0, wait);
    }
    return exited();
  }

 private:
  pid_t pid_;
  Fd fd_;
  bool exited_ = false;
};

// Takes in what is readable now (the fd is non-blocking); false at end of
// file, on a hard error, or once the sink overflows.
bool drain(int fd, Sink& into) {
  std::array<char, 65536> buf;
  for (;;) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n > 0) {
      into.add(buf.data(), static_cast<std::size_t>(n));
      if (into.overflow()) return false;
      if (static_cast<std::size_t>(n) < buf.size()) return true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;
    return false;
  }
}

// Hands the next part of `pending` to the pipe: by reference when a read end
// of ours will take back what the tool leaves (see kSpliceFrom).
ssize_t feed(int fd, std::string_view pending, const Fd& spliced) {
#if defined(SPLICE_F_NONBLOCK)
  if (spliced) {
    iovec iov{const_cast<char*>(pending.data()), pending.size()};
    return ::vmsplice(fd, &iov, 1, SPLICE_F_NONBLOCK);
  }
#endif
  (void)spliced;
  return ::write(fd, pending.data(), pending.size());
}

// SIGTERM to the group, SIGKILL after the grace, then the reaping.
void endGroup(pid_t pid, ExitWatch& watch) {
  ::kill(-pid, SIGTERM);
  watch.waitUntil(Clock::now() + kTermGrace);
  ::kill(-pid, SIGKILL);  // whatever is left of the group
  waitFor(pid);
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

std::variant<ToolExit, LaunchError, ToolStopped> runTool(
    const std::string& path, const std::vector<std::string>& argv,
    const std::optional<std::string>& stdinBytes, const RunLimits& limits,
    const RunExtras& extras) {
  const auto deadline = Clock::now() + limits.timeout;
  Pipe in, out, err, meta;
  if (int e = makePipe(out); e != 0) return LaunchError{describe(e)};
  if (int e = makePipe(err); e != 0) return LaunchError{describe(e)};
  if (stdinBytes) {
    if (int e = makePipe(in); e != 0) return LaunchError{describe(e)};
  }
  if (extras.metaPipe) {
    if (int e = makePipe(meta); e != 0) return LaunchError{describe(e)};
  }
  // Our variables with the extras in place of any of the same name.
  std::vector<std::string> env;
  std::vector<char*> envp;
  if (!extras.env.empty()) {
    const auto nameOf = [](std::string_view v) { return v.substr(0, v.find('=') + 1); };
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string_view name = nameOf(*e);
      if (std::none_of(extras.env.begin(), extras.env.end(),
                       [&](const std::string& x) { return nameOf(x) == name; })) {
        env.emplace_back(*e);
      }
    }
    env.insert(env.end(), extras.env.begin(), extras.env.end());
    for (auto& v : env) envp.push_back(v.data());
    envp.push_back(nullptr);
  }

  SpawnSetup setup;
  setup.ownGroup();
  if (stdinBytes) setup.redirect(in.read.get(), 0);
  setup.redirect(out.write.get(), 1);
  setup.redirect(err.write.get(), 2);
  if (meta.write) {
    setup.redirect(meta.write.get(), 3);
    setup.keepMeta();
  }
  pid_t pid = 0;
  if (int e = setup.spawn(pid, path, argv, envp.empty() ? nullptr : envp.data()); e != 0) {
    return LaunchError{describe(e)};
  }
  // A read end of our own, to take back what the tool leaves of a spliced
  // text. (It also means no EPIPE: a tool that stops reading is waited for
  // like any other, until it exits or the deadline.)
  Fd spliced;
#if defined(SPLICE_F_NONBLOCK)
  if (stdinBytes && stdinBytes->size() >= kSpliceFrom) {
    // Blocking, like the tool's own end (they share the file's flags); it
    // is only read once our write end is closed, so it ends at end of file.
    spliced = Fd(::fcntl(in.read.get(), F_DUPFD_CLOEXEC, 3));
  }
#endif
  in.read.reset();
  out.write.reset();
  err.write.reset();
  meta.write.reset();
  ExitWatch watch(pid);

  Sink outSink{{}, limits.outTailOnly ? limits.tail : limits.maxOut, limits.outTailOnly};
  Sink errSink{{}, limits.tail, true};
  Sink metaSink{{}, kMetaTail, true};
  std::string_view pending = stdinBytes ? std::string_view(*stdinBytes) : std::string_view();
  if (in.write && pending.empty()) in.write.reset();

  // Non-blocking on our side: a full read must never wait for more while
  // the tool waits for us to drain the other stream.
  for (const Fd* fd : {&in.write, &out.read, &err.read, &meta.read}) {
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
  std::optional<ToolStopped::Why> stopped;
  std::optional<Clock::time_point> exitedAt;
  // Once the tool has exited, input nobody will read is no reason to wait.
  while (out.read || err.read || (in.write && !exitedAt)) {
    const auto now = Clock::now();
    if (now >= deadline) {
      stopped = ToolStopped::Why::kTimedOut;
      break;
    }
    if (exitedAt && now >= *exitedAt + kAfterExit) break;
    auto wake = deadline;
    if (exitedAt) {
      wake = std::min(wake, *exitedAt + kAfterExit);
    } else if (watch.fd() < 0) {
      wake = std::min(wake, now + kExitCheck);
    }

    std::array<pollfd, 5> fds{};
    nfds_t n = 0;
    const auto watchFd = [&](int fd, short events) {
      if (fd >= 0) fds[n++] = pollfd{fd, events, 0};
    };
    watchFd(in.write.get(), POLLOUT);
    watchFd(out.read.get(), POLLIN);
    watchFd(err.read.get(), POLLIN);
    watchFd(meta.read.get(), POLLIN);  // drained so the tool never waits on it
    const nfds_t exitSlot = n;
    if (!exitedAt) watchFd(watch.fd(), POLLIN);
    if (::poll(fds.data(), n, millisUntil(wake)) < 0 && errno != EINTR) break;
    const bool mayHaveExited = watch.fd() < 0 || (exitSlot < n && fds[exitSlot].revents != 0);
    if (!exitedAt && mayHaveExited && watch.exited()) exitedAt = Clock::now();

    for (nfds_t i = 0; i < n; ++i) {
      const pollfd& p = fds[i];
      if (p.revents == 0) continue;
      if (in.write && p.fd == in.write.get()) {
        const ssize_t w = feed(p.fd, pending, spliced);
        if (w > 0) {
          pending.remove_prefix(static_cast<std::size_t>(w));
          if (pending.empty()) in.write.reset();
        } else if (w < 0 && errno != EINTR && errno != EAGAIN) {
          in.write.reset();  // EPIPE: the tool stopped reading; keep collecting.
        }
      } else if (out.read && p.fd == out.read.get()) {
        if (!drain(p.fd, outSink)) out.read.reset();
      } else if (err.read && p.fd == err.read.get()) {
        if (!drain(p.fd, errSink)) err.read.reset();
      } else if (meta.read && p.fd == meta.read.get()) {
        if (!drain(p.fd, metaSink)) meta.read.reset();
      }
    }
    if (outSink.overflow()) {
      stopped = ToolStopped::Why::kOutputTooLarge;
      break;
    }
  }
  const bool leftoversHoldOutput = static_cast<bool>(out.read) || static_cast<bool>(err.read);
  // What is left of descriptor 3, without waiting for anyone to close it.
  if (meta.read) (void)drain(meta.read.get(), metaSink);
  meta.read.reset();
  in.write.reset();
  out.read.reset();
  err.read.reset();
  if (spliced) {
    // The write end is closed: this ends at end of file, at once.
    std::array<char, 65536> buf;
    while (::read(spliced.get(), buf.data(), buf.size()) > 0) {
    }
    spliced.reset();
  }

  // Outputs closed is not the same as exited: the exit has the same deadline.
  if (!stopped && !leftoversHoldOutput && !watch.waitUntil(deadline)) {
    stopped = ToolStopped::Why::kTimedOut;
  }
  if (stopped) {
    endGroup(pid, watch);
    return ToolStopped{*stopped};
  }
  // Still a zombie, so the group id is still ours to signal.
  if (leftoversHoldOutput) ::kill(-pid, SIGKILL);
  const int raw = waitFor(pid);
  outSink.finish();
  errSink.finish();
  metaSink.finish();
  return ToolExit{raw < 0 ? 255 : exitStatus(raw), std::move(outSink.bytes),
                  std::move(errSink.bytes), std::move(metaSink.bytes)};
}

std::optional<LaunchError> unreadable(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return LaunchError{std::strerror(errno)};
  ::close(fd);
  return std::nullopt;
}

std::optional<LaunchError> spawnDetached(const std::string& path,
                                         const std::vector<std::string>& argv) {
  SpawnSetup setup;
  pid_t pid = 0;
  if (int e = setup.spawn(pid, path, argv); e != 0) return LaunchError{describe(e)};
  // One waiter per child: never waitpid(-1), which would steal the status
  // of a tool run.
  try {
    std::thread([pid] { waitFor(pid); }).detach();
  } catch (const std::system_error&) {
    // No thread to spare. Waiting here could stall the main thread, which
    // is worse than one zombie.
  }
  return std::nullopt;
}

}  // namespace tavrik::platform
