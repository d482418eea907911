#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "platform/process.h"
#include "tests/helpers/test_support.h"

namespace tavrik {
namespace {

using platform::LaunchError;
using platform::RunLimits;
using platform::runTool;
using platform::ToolExit;
using platform::ToolStopped;
using namespace std::chrono_literals;

// True once `pid` has ended (gone, or a zombie left to its new parent).
bool ended(const std::string& pidFile) {
  const std::string pid = test::readFile(pidFile);
  EXPECT_FALSE(pid.empty());
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  for (;;) {
    const std::string stat = test::readFile("/proc/" + pid + "/stat");
    const auto state = stat.find(") ");
    if (stat.empty() || (state != std::string::npos && stat[state + 2] == 'Z')) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
}
using test::kToolHelper;
using test::steps;

ToolExit run(const std::string& script, const std::optional<std::string>& input = std::nullopt) {
  auto r = runTool(kToolHelper, {kToolHelper, script}, input);
  if (auto* e = std::get_if<LaunchError>(&r)) {
    ADD_FAILURE() << "launch failed: " << e->description;
    return {};
  }
  return std::get<ToolExit>(std::move(r));
}

TEST(RunTool, ArgumentVectorIsPassedExactly) {
  const std::vector<std::string> argv{kToolHelper, "argv", "clip", "", " two words ", "ồ\n"};
  auto r = runTool(kToolHelper, argv, std::nullopt);
  ASSERT_TRUE(std::holds_alternative<ToolExit>(r));
  std::string expected;
  for (const auto& a : argv) expected += a + '\0';
  EXPECT_EQ(std::get<ToolExit>(r).out, expected);
}

TEST(RunTool, StandardInputAbsentIsOursPresentIsAPipe) {
  struct stat ours {};
  ASSERT_EQ(::fstat(0, &ours), 0);
  const auto inherited = run("stdin-id");
  EXPECT_EQ(inherited.out, std::to_string(ours.st_dev) + ":" + std::to_string(ours.st_ino));

  const auto empty = run(steps({"stdin-id", "out: ", "count"}), std::string());
  EXPECT_NE(empty.out.substr(0, empty.out.find(' ')), inherited.out);
  EXPECT_EQ(empty.out.substr(empty.out.find(' ') + 1), "0");  // end of file at once
}

TEST(RunTool, BytesGoThroughUnchanged) {
  std::string all;
  for (int i = 1; i < 256; ++i) all += static_cast<char>(i);
  all += std::string("\0tail\n", 6);
  EXPECT_EQ(run("cat", all).out, all);
}

TEST(RunTool, ToolThatNeverReadsItsInputIsStillCollected) {
  const std::string input(8u << 20, 'i');
  const auto closes = run(steps({"close-stdin", "out:done", "status:4"}), input);
  EXPECT_EQ(closes.status, 4);
  EXPECT_EQ(closes.out, "done");
  const auto exits = run("err:bye", input);
  EXPECT_EQ(exits.status, 0);
  EXPECT_EQ(exits.err, "bye");
}

TEST(RunTool, ExitStatuses) {
  EXPECT_EQ(run("status:0").status, 0);
  EXPECT_EQ(run("status:3").status, 3);
  EXPECT_EQ(run("status:255").status, 255);
  EXPECT_EQ(run("kill:9").status, 128 + 9);
  EXPECT_EQ(run(steps({"out:partial", "kill:15"})).status, 128 + 15);
}

TEST(RunTool, LaunchFailureIsNotAnExitStatus) {
  auto missing = runTool("/nonexistent/node", {"/nonexistent/node"}, std::nullopt);
  ASSERT_TRUE(std::holds_alternative<LaunchError>(missing));
  EXPECT_EQ(std::get<LaunchError>(missing).description, "No such file or directory");

  // Not searched in PATH: a bare name is relative to the current directory.
  auto bare = runTool("true", {"true"}, std::string("x"));
  EXPECT_TRUE(std::holds_alternative<LaunchError>(bare));

  const auto plain = test::tempPath("not-executable");
  { std::ofstream(plain) << "#!/bin/sh\n"; }
  auto denied = runTool(plain, {plain}, std::nullopt);
  ASSERT_TRUE(std::holds_alternative<LaunchError>(denied));
  EXPECT_EQ(std::get<LaunchError>(denied).description, "Permission denied");
  std::filesystem::remove(plain);
}

TEST(RunTool, ChildInheritsOnlyTheStandardDescriptors) {
  // A descriptor opened without close-on-exec must not reach the tool.
  const int leaky = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(leaky, 3);
  EXPECT_EQ(run("fds", std::string("in")).out, "");
  EXPECT_EQ(run("fds").out, "");
  ::close(leaky);
}

TEST(RunTool, PastTheDeadlineTheWholeGroupEnds) {
  // The tool and the child it leaves both ignore SIGTERM: SIGKILL follows.
  const auto child = test::tempPath("child");
  RunLimits limits;
  limits.timeout = 300ms;
  const auto r = runTool(
      kToolHelper, {kToolHelper, steps({"ignore:15", "linger:" + child, "await:/nonexistent"})},
      std::string("in"), limits);
  ASSERT_TRUE(std::holds_alternative<ToolStopped>(r));
  EXPECT_EQ(std::get<ToolStopped>(r).why, ToolStopped::Why::kTimedOut);
  EXPECT_TRUE(ended(child));
  std::filesystem::remove(child);

  // Closing its outputs does not end a run that is still going.
  const auto quiet =
      runTool(kToolHelper, {kToolHelper, steps({"close-outputs", "await:/nonexistent"})},
              std::nullopt, limits);
  ASSERT_TRUE(std::holds_alternative<ToolStopped>(quiet));
}

TEST(RunTool, AnExitedToolEndsTheRunThoughALeftoverHoldsItsOutputs) {
  const auto child = test::tempPath("child");
  const auto r = run(steps({"out:done", "linger:" + child, "err:why", "status:3"}));
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "done");
  EXPECT_EQ(r.err, "why");
  EXPECT_TRUE(ended(child));
  std::filesystem::remove(child);
}

TEST(RunTool, OutputsAreBounded) {
  RunLimits limits;
  limits.maxOut = 1 << 20;
  limits.tail = 1000;
  const auto tooMuch = runTool(kToolHelper, {kToolHelper, "flood:4194304"}, std::nullopt, limits);
  ASSERT_TRUE(std::holds_alternative<ToolStopped>(tooMuch));
  EXPECT_EQ(std::get<ToolStopped>(tooMuch).why, ToolStopped::Why::kOutputTooLarge);

  // The kept tail starts at a character: 1000 bytes would begin inside "ồ".
  std::string many;
  for (int i = 0; i < 1000; ++i) many += "ồ";
  limits.outTailOnly = true;
  const auto tails = runTool(kToolHelper, {kToolHelper, steps({"flood:4194304", "err:x" + many})},
                             std::nullopt, limits);
  ASSERT_TRUE(std::holds_alternative<ToolExit>(tails));
  EXPECT_EQ(std::get<ToolExit>(tails).out, std::string(1000, 'x'));
  EXPECT_EQ(std::get<ToolExit>(tails).err, many.substr(3 * 667));
}

TEST(SpawnDetached, ReportsWhetherItStarted) {
  EXPECT_FALSE(platform::spawnDetached(kToolHelper, {kToolHelper, "status:1"}));
  EXPECT_TRUE(platform::spawnDetached("/nonexistent/afplay", {"/nonexistent/afplay"}));
}

}  // namespace
}  // namespace tavrik
