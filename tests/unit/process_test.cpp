#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "platform/process.h"
#include "tests/contract/runner_contract.h"
#include "tests/harness/test_support.h"

namespace tavrik {
namespace test {

// N ("$1") bytes to standard output and to standard error, chunk by chunk.
const std::string kFlood = "head -c \"$1\" /dev/zero | tr '\\0' x | tee /dev/fd/2";

// The contract's commands as shell scripts.
Command contractCommand(const std::string& name, const std::vector<std::string>& args) {
  static const std::map<std::string, std::string> scripts{
      {"cat", "cat"},
      {"exit", "printf partial; exit \"$1\""},
      {"args", "for a; do printf '%s\\0' \"$a\"; done"},
      {"env", "printf %s \"$(printenv \"$1\" || printf '(unset)')\""},
      {"meta", "{ printf %s \"$1\" >&3; } 2>/dev/null; printf done"},
      {"flood", kFlood},
      {"leave", "sleep 1000 & printf left"},
      {"sleep", "exec sleep 1000"},
  };
  std::vector<std::string> argv{kShell, "-c", scripts.at(name), "sh"};
  argv.insert(argv.end(), args.begin(), args.end());
  return {kShell, argv};
}
const char* const kMissingProgram = "/nonexistent/node";

}  // namespace test
namespace {

using platform::RunLimits;
using platform::runTool;
using platform::ToolExit;
using platform::ToolStopped;
using namespace std::chrono_literals;

using test::kShell;

// Descriptors we hold, and whether we have a child, running or not yet
// reaped (WNOWAIT leaves it to its own reaper). Linux and macOS both list
// a process's descriptors in /dev/fd.
std::pair<int, bool> leftovers() {
  int fds = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/dev/fd")) ++fds;
  siginfo_t info{};
  return {fds, ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0};
}

ToolExit run(const std::string& script, const std::optional<std::string>& input = std::nullopt) {
  auto r = runTool(kShell, {kShell, "-c", script}, input);
  if (auto* e = std::get_if<platform::LaunchError>(&r)) {
    ADD_FAILURE() << "launch failed: " << e->description;
    return {};
  }
  return std::get<ToolExit>(std::move(r));
}

TEST(RunTool, ASignalIsStatus128PlusItsNumber) {
  EXPECT_EQ(run("printf partial; kill -TERM $$").status, 128 + 15);
}

TEST(RunTool, ChildInheritsOnlyTheStandardDescriptors) {
  // A descriptor opened without close-on-exec must not reach the tool.
  const int leaky = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(leaky, 3);
  const auto fd = "/dev/fd/" + std::to_string(leaky);
  EXPECT_EQ(run("[ -e " + fd + " ] && echo leaked", std::string("in")).out, "");
  ::close(leaky);
}

TEST(RunTool, TheKeptTailStartsAtACharacter) {
  // 1000 bytes would begin inside "ồ".
  std::string many;
  for (int i = 0; i < 1000; ++i) many += "ồ";
  RunLimits limits;
  limits.tail = 1000;
  limits.outTailOnly = true;
  const auto tails =
      runTool(kShell, {kShell, "-c", test::kFlood + "; printf x" + many + " >&2", "sh", "4194304"},
              std::nullopt, limits);
  ASSERT_TRUE(std::holds_alternative<ToolExit>(tails));
  EXPECT_EQ(std::get<ToolExit>(tails).out, std::string(1000, 'x'));
  EXPECT_EQ(std::get<ToolExit>(tails).err, many.substr(3 * 667));
}

TEST(RunTool, RunsAndDetachedProgramsLeaveNothingBehind) {
  const auto before = leftovers();
  ASSERT_FALSE(before.second);
  for (int i = 0; i < 200; ++i) {
    // macOS pads the count with blanks.
    EXPECT_EQ(std::stoi(run("wc -c", std::string("input")).out), 5);
    EXPECT_FALSE(platform::spawnDetached(kShell, {kShell, "-c", ":"}));
  }
  // Reapers finish a moment after their child.
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (leftovers() != before && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(leftovers(), before);
}

}  // namespace
}  // namespace tavrik
