// Appends the monotonic time (ns) to $BENCH_STAMPS, then becomes
// $BENCH_EXEC with the same arguments: marks the moment a tool starts.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const char* stamps = std::getenv("BENCH_STAMPS");
  const char* program = std::getenv("BENCH_EXEC");
  if (!stamps || !program || argc < 1) return 2;
  const std::string line =
      std::to_string(static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec) + "\n";
  const int fd = ::open(stamps, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) {
    (void)!::write(fd, line.data(), line.size());
    ::close(fd);
  }
  argv[0] = const_cast<char*>(program);
  ::execv(program, argv);
  return 127;
}
