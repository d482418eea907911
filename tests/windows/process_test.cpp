// Runs under Wine: the Windows process runner against tests/windows/tool.cpp.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "platform/process.h"
#include "platform/windows/programs.h"
#include "platform/windows/text.h"

namespace tavrik {
namespace {

using platform::RunExtras;
using platform::RunLimits;
using platform::runTool;
using platform::ToolExit;
using platform::ToolStopped;

// The stand-in, beside this program.
std::string tool() { return *platform::narrow(platform::ownDirectory() + L"\\tool.exe"); }

ToolExit run(std::vector<std::string> args, const std::optional<std::string>& input = std::nullopt,
             const RunExtras& extras = {}) {
  args.insert(args.begin(), tool());
  auto r = runTool(tool(), args, input, {}, extras);
  if (auto* e = std::get_if<platform::LaunchError>(&r)) {
    ADD_FAILURE() << "launch failed: " << e->description;
    return {};
  }
  if (std::holds_alternative<ToolStopped>(r)) {
    ADD_FAILURE() << "stopped";
    return {};
  }
  return std::get<ToolExit>(std::move(r));
}

TEST(WindowsRun, BytesExitStatusesAndAddedVariablesGoThroughUnchanged) {
  std::string all;
  for (int i = 1; i < 256; ++i) all += static_cast<char>(i);
  all += std::string("\0tail\r\n\n", 8);
  EXPECT_EQ(run({"cat"}, all).out, all);
  const auto exited = run({"exit", "7"});
  EXPECT_EQ(exited.status, 7);
  EXPECT_EQ(exited.out, "partial");
  EXPECT_EQ(run({"env", "TAVRIK_SECRET"}, std::nullopt, {{"TAVRIK_SECRET=1"}, false}).out, "1");
  EXPECT_EQ(run({"env", "TAVRIK_SECRET"}).out, "(unset)");
  EXPECT_NE(run({"env", "PATH"}, std::nullopt, {{"TAVRIK_SECRET=1"}, false}).out, "(unset)");
  // Descriptor 3, as the C runtime passes descriptors on; nothing when not asked for.
  const auto told = run({"meta", "secret\n"}, std::nullopt, {{}, true});
  EXPECT_EQ(told.meta, "secret\n");
  EXPECT_EQ(told.out, "done");
  EXPECT_EQ(run({"meta", "secret\n"}).meta, "");
  EXPECT_EQ(run({"meta", "secret\n"}, std::string("in"), {{}, true}).meta, "secret\n");
}

TEST(WindowsRun, ArgumentsArriveExactlyAsGiven) {
  const std::vector<std::string> args{
      "",       "a b",      "\"q\"",     "back\\slash",       "tail\\",
      "\\\\\"", "a\\\\b c", "tab\there", "tiếng Việt có dấu", "{\"json\": [1, 2]}"};
  std::vector<std::string> line{"args"};
  line.insert(line.end(), args.begin(), args.end());
  std::string expected;
  for (const auto& a : args) expected += a + '\0';
  EXPECT_EQ(run(line).out, expected);
}

TEST(WindowsRun, TheDeadlineAndWhatIsLeftBehindEndTheWholeTree) {
  RunLimits limits;
  limits.timeout = std::chrono::seconds(1);
  const auto late = runTool(tool(), {tool(), "sleep"}, std::nullopt, limits);
  ASSERT_TRUE(std::holds_alternative<ToolStopped>(late));
  EXPECT_EQ(std::get<ToolStopped>(late).why, ToolStopped::Why::kTimedOut);
  // The grandchild holds both outputs forever; the run ends all the same.
  const auto left = run({"leave"});
  EXPECT_EQ(left.status, 0);
  EXPECT_EQ(left.out, "left");
}

TEST(WindowsRun, OutputsAreBoundedAndFloodingBothWhileIgnoringTheInputCompletes) {
  const std::size_t size = 16u << 20;
  const auto r = run({"flood", std::to_string(size)}, std::string(size, 'i'));
  EXPECT_EQ(r.out.size(), size);
  EXPECT_EQ(r.err.size(), RunLimits{}.tail);
  RunLimits limits;
  limits.maxOut = 1 << 20;
  const auto tooMuch =
      runTool(tool(), {tool(), "flood", std::to_string(size)}, std::nullopt, limits);
  ASSERT_TRUE(std::holds_alternative<ToolStopped>(tooMuch));
  EXPECT_EQ(std::get<ToolStopped>(tooMuch).why, ToolStopped::Why::kOutputTooLarge);
}

TEST(WindowsRun, ALaunchErrorIsTheSystemsOwnMessage) {
  const auto r = runTool("C:\\nonexistent\\node.exe", {"node"}, std::nullopt);
  ASSERT_TRUE(std::holds_alternative<platform::LaunchError>(r));
  EXPECT_FALSE(std::get<platform::LaunchError>(r).description.empty());
  EXPECT_FALSE(platform::spawnDetached("C:\\nonexistent\\afplay.exe", {"afplay"}) == std::nullopt);
  EXPECT_EQ(platform::spawnDetached(tool(), {tool(), "exit", "0"}), std::nullopt);
}

}  // namespace
}  // namespace tavrik
