#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// Starting programs (shared POSIX code on Linux and macOS).
namespace tavrik::platform {

struct ToolExit {
  std::int32_t status;  // exit code, or 128 + N when killed by signal N
  std::string out;      // raw bytes of standard output
  std::string err;      // raw bytes of standard error
};

struct LaunchError {
  std::string description;
};

// Starts `path` (not searched in PATH) with `argv` (argv[0] included), feeds
// `stdinBytes` when present (otherwise the child shares our standard input),
// collects both outputs to end of file, then waits for the exit. Blocks the
// calling thread; never call it on the main thread.
std::variant<ToolExit, LaunchError> runTool(const std::string& path,
                                            const std::vector<std::string>& argv,
                                            const std::optional<std::string>& stdinBytes);

// Starts a program that nobody waits for; it is reaped in the background.
// False when it could not be started.
bool spawnDetached(const std::string& path, const std::vector<std::string>& argv);

}  // namespace tavrik::platform
