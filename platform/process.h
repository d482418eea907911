#pragma once

#include <chrono>
#include <cstddef>
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
  std::string meta;     // what it wrote on descriptor 3, when given one
};

struct LaunchError {
  std::string description;
};

// The run was ended by us; the tool and its process group are gone.
struct ToolStopped {
  enum class Why { kTimedOut, kOutputTooLarge } why;
};

// What a run may cost. Standard error, and standard output when only its
// last line matters, keep their last `tail` bytes, starting at a UTF-8
// character boundary.
struct RunLimits {
  std::chrono::milliseconds timeout{std::chrono::seconds(120)};
  std::size_t maxOut = std::size_t{256} << 20;  // beyond it: kOutputTooLarge
  bool outTailOnly = false;
  std::size_t tail = std::size_t{64} << 10;
};

// What a run adds to the tool's world: variables ("NAME=value") beside
// ours, and a pipe as its descriptor 3, of which the last kMetaTail bytes
// are kept.
struct RunExtras {
  std::vector<std::string> env;
  bool metaPipe = false;
};
inline constexpr std::size_t kMetaTail = 4096;

// Starts `path` (not searched in PATH) with `argv` (argv[0] included) in a
// process group of its own, feeds `stdinBytes` when present (otherwise the
// child shares our standard input), collects both outputs to end of file,
// then reaps it. Past the deadline the group gets SIGTERM, then SIGKILL two
// seconds later. A tool that has exited while something it left behind
// still holds its outputs ends the run shortly after; the leftovers are
// killed. Blocks the calling thread; never call it on the main thread.
std::variant<ToolExit, LaunchError, ToolStopped> runTool(
    const std::string& path, const std::vector<std::string>& argv,
    const std::optional<std::string>& stdinBytes, const RunLimits& limits = {},
    const RunExtras& extras = {});

// Why `path` cannot be opened for reading, when it cannot (a companion
// script named wrongly is told at start, not at the first press).
std::optional<LaunchError> unreadable(const std::string& path);

// Starts a program that nobody waits for; it is reaped in the background.
std::optional<LaunchError> spawnDetached(const std::string& path,
                                         const std::vector<std::string>& argv);

}  // namespace tavrik::platform
