// A stand-in for the companion tool. Its first argument (where the agent
// puts the script path) is a list of steps separated by '\x1f':
//   out:TEXT err:TEXT   write TEXT (any bytes) to stdout / stderr
//   argv                write every argument, each ended by NUL, to stdout
//   cat                 copy stdin to stdout
//   count               read stdin to the end, print the byte count
//   stdin-id            print device:inode of fd 0
//   flood:N             write N bytes to stdout and to stderr, interleaved
//   fds                 print the open descriptors above 2
//   close-stdin         close fd 0 without reading it
//   close-outputs       close fds 1 and 2
//   record:PATH         append one line to PATH
//   save-stdin:PATH     read stdin to the end into PATH
//   save-argv:PATH      write the arguments, each ended by NUL, to PATH
//   await:PATH          wait until PATH exists
//   kill:N              raise signal N
//   ignore:N            ignore signal N from now on
//   linger:PATH         start a child that keeps our outputs open for ever;
//                       its pid goes to PATH
//   status:N            exit with N at the end (default 0)
// Unknown steps are ignored, so the helper can also stand in for the
// notification and sound programs.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

void writeAll(int fd, std::string_view s) {
  while (!s.empty()) {
    const ssize_t n = ::write(fd, s.data(), s.size());
    if (n <= 0) std::exit(90);
    s.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string readAll(int fd) {
  std::string all;
  char buf[65536];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) all.append(buf, static_cast<std::size_t>(n));
  return all;
}

// Every argument, each ended by NUL.
void writeArgv(int fd, int argc, char** argv) {
  for (int i = 0; i < argc; ++i) writeAll(fd, std::string_view(argv[i], std::strlen(argv[i]) + 1));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 0;
  std::vector<std::string> steps;
  std::string_view script = argv[1];
  for (std::size_t pos; (pos = script.find('\x1f')) != std::string_view::npos;) {
    steps.emplace_back(script.substr(0, pos));
    script.remove_prefix(pos + 1);
  }
  steps.emplace_back(script);

  int status = 0;
  for (const std::string& step : steps) {
    const auto colon = step.find(':');
    const std::string cmd = step.substr(0, colon);
    const std::string arg = colon == std::string::npos ? "" : step.substr(colon + 1);
    if (cmd == "out") {
      writeAll(1, arg);
    } else if (cmd == "err") {
      writeAll(2, arg);
    } else if (cmd == "argv") {
      writeArgv(1, argc, argv);
    } else if (cmd == "cat") {
      writeAll(1, readAll(0));
    } else if (cmd == "count") {
      writeAll(1, std::to_string(readAll(0).size()));
    } else if (cmd == "stdin-id") {
      struct stat st {};
      ::fstat(0, &st);
      writeAll(1, std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino));
    } else if (cmd == "flood") {
      const std::size_t total = std::stoull(arg);
      const std::string chunk(4096, 'x');
      for (std::size_t done = 0; done < total; done += chunk.size()) {
        const auto n = std::min(chunk.size(), total - done);
        writeAll(1, std::string_view(chunk).substr(0, n));
        writeAll(2, std::string_view(chunk).substr(0, n));
      }
    } else if (cmd == "fds") {
      for (int fd = 3; fd < 1024; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0) writeAll(1, std::to_string(fd) + " ");
      }
    } else if (cmd == "close-stdin") {
      ::close(0);
    } else if (cmd == "close-outputs") {
      ::close(1);
      ::close(2);
    } else if (cmd == "record") {
      const int fd = ::open(arg.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
      writeAll(fd, "run\n");
      ::close(fd);
    } else if (cmd == "save-stdin" || cmd == "save-argv") {
      const int fd = ::open(arg.c_str(), O_WRONLY | O_TRUNC | O_CREAT, 0600);
      if (cmd == "save-stdin") {
        writeAll(fd, readAll(0));
      } else {
        writeArgv(fd, argc, argv);
      }
      ::close(fd);
    } else if (cmd == "await") {
      while (::access(arg.c_str(), F_OK) != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } else if (cmd == "kill") {
      ::raise(std::atoi(arg.c_str()));
    } else if (cmd == "ignore") {
      ::signal(std::atoi(arg.c_str()), SIG_IGN);
    } else if (cmd == "linger") {
      const pid_t child = ::fork();
      if (child == 0) {
        for (;;) ::pause();
      }
      const int fd = ::open(arg.c_str(), O_WRONLY | O_TRUNC | O_CREAT, 0600);
      writeAll(fd, std::to_string(child));
      ::close(fd);
    } else if (cmd == "status") {
      status = std::atoi(arg.c_str());
    }
  }
  return status;
}
