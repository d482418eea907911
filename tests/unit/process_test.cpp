#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "platform/process.h"
#include "tests/helpers/test_support.h"

namespace tavrik {
namespace {

using platform::RunLimits;
using platform::runTool;
using platform::ToolExit;
using platform::ToolStopped;
using namespace std::chrono_literals;

using test::kShell;

// N bytes to standard output and to standard error, chunk by chunk.
std::string flood(std::size_t n) {
  return "head -c " + std::to_string(n) + " /dev/zero | tr '\\0' x | tee /dev/fd/2";
}

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

TEST(RunTool, BytesAndExitStatusesGoThroughUnchanged) {
  std::string all;
  for (int i = 1; i < 256; ++i) all += static_cast<char>(i);
  all += std::string("\0tail\n", 6);
  EXPECT_EQ(run("cat", all).out, all);
  EXPECT_EQ(run("exit 255").status, 255);
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

TEST(RunTool, OutputsAreBounded) {
  RunLimits limits;
  limits.maxOut = 1 << 20;
  limits.tail = 1000;
  const auto tooMuch = runTool(kShell, {kShell, "-c", flood(4 << 20)}, std::nullopt, limits);
  ASSERT_TRUE(std::holds_alternative<ToolStopped>(tooMuch));
  EXPECT_EQ(std::get<ToolStopped>(tooMuch).why, ToolStopped::Why::kOutputTooLarge);

  // The kept tail starts at a character: 1000 bytes would begin inside "ồ".
  std::string many;
  for (int i = 0; i < 1000; ++i) many += "ồ";
  limits.outTailOnly = true;
  const auto tails = runTool(kShell, {kShell, "-c", flood(4 << 20) + "; printf x" + many + " >&2"},
                             std::nullopt, limits);
  ASSERT_TRUE(std::holds_alternative<ToolExit>(tails));
  EXPECT_EQ(std::get<ToolExit>(tails).out, std::string(1000, 'x'));
  EXPECT_EQ(std::get<ToolExit>(tails).err, many.substr(3 * 667));
}

TEST(RunTool, FloodingBothOutputsWhileIgnoringTheInputCompletes) {
  const std::size_t size = 16u << 20;
  const auto r = run(flood(size), std::string(size, 'i'));
  EXPECT_EQ(r.out.size(), size);
  EXPECT_EQ(r.err.size(), RunLimits{}.tail);  // only its end is kept
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
  EXPECT_TRUE(platform::spawnDetached("/nonexistent/afplay", {"/nonexistent/afplay"}));
}

}  // namespace
}  // namespace tavrik
