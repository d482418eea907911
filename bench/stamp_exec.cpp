// Runs $BENCH_EXEC with our arguments and appends to $BENCH_STAMPS the
// monotonic time (ns) at which it started ("start NS") and at which it had
// wholly exited ("exit NS"): the companion's own run, whoever starts it.
// Its exit status is passed on.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

void stamp(const char* file, const char* kind) {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const std::string line =
      std::string(kind) + " " +
      std::to_string(static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec) + "\n";
  const int fd = ::open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  (void)!::write(fd, line.data(), line.size());
  ::close(fd);
}

}  // namespace

int main(int, char** argv) {
  const char* stamps = std::getenv("BENCH_STAMPS");
  const char* program = std::getenv("BENCH_EXEC");
  if (!stamps || !program) return 2;
  stamp(stamps, "start");
  const pid_t pid = ::fork();
  if (pid == 0) {
    argv[0] = const_cast<char*>(program);
    ::execv(program, argv);
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  stamp(stamps, "exit");
  if (WIFSIGNALED(status)) ::raise(WTERMSIG(status));
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
