// The runner's contract, the same on every platform: each platform's tests
// say how to run the contract's commands (runner_contract.h).
#include "tests/contract/runner_contract.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <variant>
#include <vector>

#include "platform/process.h"

namespace tavrik {
namespace {

using platform::RunExtras;
using platform::RunLimits;
using platform::ToolExit;
using platform::ToolStopped;
using test::contractCommand;

std::variant<ToolExit, platform::LaunchError, ToolStopped> start(
    const std::string& name, const std::vector<std::string>& args,
    const std::optional<std::string>& input = std::nullopt, const RunLimits& limits = {},
    const RunExtras& extras = {}) {
  const auto c = contractCommand(name, args);
  return platform::runTool(c.path, c.argv, input, limits, extras);
}

ToolExit run(const std::string& name, const std::vector<std::string>& args = {},
             const std::optional<std::string>& input = std::nullopt, const RunExtras& extras = {}) {
  auto r = start(name, args, input, {}, extras);
  if (!std::holds_alternative<ToolExit>(r)) {
    ADD_FAILURE() << name << " did not run to its end";
    return {};
  }
  return std::get<ToolExit>(std::move(r));
}

TEST(RunnerContract, BytesStatusesVariablesAndDescriptor3GoThroughUnchanged) {
  std::string all;
  for (int i = 1; i < 256; ++i) all += static_cast<char>(i);
  all += std::string("\0tail\r\n\n", 8);
  EXPECT_EQ(run("cat", {}, all).out, all);
  const auto exited = run("exit", {"7"});
  EXPECT_EQ(exited.status, 7);
  EXPECT_EQ(exited.out, "partial");
  const RunExtras secret{{"TAVRIK_SECRET=1"}, false};
  EXPECT_EQ(run("env", {"TAVRIK_SECRET"}, std::nullopt, secret).out, "1");
  EXPECT_EQ(run("env", {"TAVRIK_SECRET"}).out, "(unset)");
  EXPECT_NE(run("env", {"PATH"}, std::nullopt, secret).out, "(unset)");  // added, not replaced
  const auto told = run("meta", {"secret\n"}, std::nullopt, {{}, true});
  EXPECT_EQ(told.meta, "secret\n");
  EXPECT_EQ(told.out, "done");
  EXPECT_EQ(run("meta", {"secret\n"}).meta, "");
  EXPECT_EQ(run("meta", {"secret\n"}, std::string("in"), {{}, true}).meta, "secret\n");
}

TEST(RunnerContract, ArgumentsArriveExactlyAsGiven) {
  const std::vector<std::string> args{"",
                                      "a b",
                                      "\"q\"",
                                      "back\\slash",
                                      "tail\\",
                                      "$HOME `x` ;|&",
                                      "\\\\\"",
                                      "a\\\\b c",
                                      "tab\there",
                                      "tiếng Việt có dấu",
                                      "{\"json\": [1, 2]}"};
  std::string expected;
  for (const auto& a : args) expected += a + '\0';
  EXPECT_EQ(run("args", args).out, expected);
}

TEST(RunnerContract, TheDeadlineAndWhatIsLeftBehindEndTheWholeRun) {
  RunLimits limits;
  limits.timeout = std::chrono::seconds(1);
  const auto late = start("sleep", {}, std::nullopt, limits);
  ASSERT_TRUE(std::holds_alternative<ToolStopped>(late));
  EXPECT_EQ(std::get<ToolStopped>(late).why, ToolStopped::Why::kTimedOut);
  // What the tool left behind holds both outputs; the run ends all the same.
  const auto left = run("leave");
  EXPECT_EQ(left.status, 0);
  EXPECT_EQ(left.out, "left");
}

TEST(RunnerContract, OutputsAreBoundedAndFloodingBothWhileIgnoringTheInputCompletes) {
  const std::size_t size = 16u << 20;
  const auto r = run("flood", {std::to_string(size)}, std::string(size, 'i'));
  EXPECT_EQ(r.out.size(), size);
  EXPECT_EQ(r.err.size(), RunLimits{}.tail);  // only its end is kept
  RunLimits limits;
  limits.maxOut = 1 << 20;
  const auto tooMuch = start("flood", {std::to_string(size)}, std::nullopt, limits);
  ASSERT_TRUE(std::holds_alternative<ToolStopped>(tooMuch));
  EXPECT_EQ(std::get<ToolStopped>(tooMuch).why, ToolStopped::Why::kOutputTooLarge);
}

TEST(RunnerContract, ALaunchErrorIsTold) {
  const auto r = platform::runTool(test::kMissingProgram, {"node"}, std::nullopt);
  ASSERT_TRUE(std::holds_alternative<platform::LaunchError>(r));
  EXPECT_FALSE(std::get<platform::LaunchError>(r).description.empty());
  EXPECT_TRUE(platform::spawnDetached(test::kMissingProgram, {"afplay"}));
  const auto ok = contractCommand("args");  // prints nothing
  EXPECT_FALSE(platform::spawnDetached(ok.path, ok.argv));
}

}  // namespace
}  // namespace tavrik
