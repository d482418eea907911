#pragma once

#include <string>
#include <vector>

namespace tavrik::test {

// What each platform's runner tests run for a contract command: its path
// and argv. The commands:
//   cat           standard input to standard output
//   exit N        prints "partial", exits N
//   args ...      each argument, each followed by a NUL byte
//   env NAME      the variable's value, or "(unset)"
//   meta TEXT     TEXT on descriptor 3 if it has one, then "done"
//   flood N       N bytes to both outputs, never reading its input
//   leave         leaves a program holding both outputs, prints "left"
//   sleep         never ends
struct Command {
  std::string path;
  std::vector<std::string> argv;
};
Command contractCommand(const std::string& name, const std::vector<std::string>& args = {});

// A program that does not exist.
extern const char* const kMissingProgram;

}  // namespace tavrik::test
