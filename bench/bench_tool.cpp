// The tool both sides of the relay benchmark run:
//   sink          read standard input to the end
//   source N      write N bytes to standard output
//   exit          exit at once
#include <unistd.h>

#include <cstdlib>
#include <string_view>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string_view mode = argv[1];
  if (mode == "exit") return 0;
  std::vector<char> buf(1 << 20, 'x');
  if (mode == "sink") {
    while (::read(0, buf.data(), buf.size()) > 0) {
    }
    return 0;
  }
  if (mode == "source" && argc >= 3) {
    std::size_t left = std::strtoull(argv[2], nullptr, 10);
    while (left > 0) {
      const ssize_t n = ::write(1, buf.data(), std::min(left, buf.size()));
      if (n <= 0) return 1;
      left -= static_cast<std::size_t>(n);
    }
    return 0;
  }
  return 2;
}
