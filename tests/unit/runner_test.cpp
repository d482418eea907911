#include <gtest/gtest.h>

#include <filesystem>
#include <new>
#include <thread>

#include "platform/fake/fake.h"
#include "relay/runner.h"
#include "relay/utf8.h"
#include "tests/harness/runner_access.h"
#include "tests/harness/test_support.h"

namespace tavrik {
namespace {

using test::kShell;
using test::script;
using test::started;
using Started = std::vector<test::Started>;

TEST(DongLoi, TheLastNonEmptyLineOfStandardError) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\nb\n", "b"},           {"\n\n", "Không rõ lỗi."},
      {"a\r\nb", "a\r\nb"},                                 // CR LF is one character: no cut
      {"a\r\n\nb\r\n", "b\r\n"}, {"reason\n   \n", "   "},  // nothing trimmed
  };
  for (const auto& [err, line] : cases) EXPECT_EQ(RunnerTestAccess::dongLoi("out", err), line);
}

TEST(Utf8, StrictlyWellFormed) {
  const std::pair<std::string, bool> cases[] = {
      // After a run of ASCII.
      {"abcdefghé", true},
      {"abcdefgh\xff", false},
      {"abcdefgh\x80", false},
      {"\xed\x9f\xbf", true},       // U+D7FF
      {"\xed\xa0\x80", false},      // a surrogate
      {"\xf4\x8f\xbf\xbf", true},   // U+10FFFF
      {"\xf4\x90\x80\x80", false},  // past U+10FFFF
      {"\xe0\x9f\xbf", false},      // overlong
      // Cut at the end.
      {"ab\xe1\x88", false},
      {"abcdefgh\xf0\x9f\x91", false},
      // Long texts go in two halves: a character across the middle; a fault
      // in either half.
      {std::string(600, 'a') + "é" + std::string(600, 'b'), true},
      {std::string(598, 'a') + "\xe1\x80" + std::string(602, 'b'), false},
      {std::string(1200, 'a') + "\xff", false},
  };
  for (const auto& [bytes, valid] : cases) EXPECT_EQ(isValidUtf8(bytes), valid) << bytes;
}

struct Result {
  std::int32_t status = -1;
  std::string out, err;
  bool onMain = true;
  int calls = 0;
};

class RunnerTest : public test::FakePlatformTest {
 protected:
  // Runs `script` once and waits for the run; nothing is left for the main
  // thread, so a press right after it is served.
  Result run(const std::string& text, std::shared_ptr<Runner> runner = nullptr) {
    if (!runner) runner = std::make_shared<Runner>(kShell, script(text));
    Result r;
    const auto main = std::this_thread::get_id();
    RunnerTestAccess::chay(
        *runner, {}, std::nullopt, [&r, main](std::int32_t s, std::string o, std::string e) {
          r = {s, std::move(o), std::move(e), std::this_thread::get_id() == main, r.calls + 1};
        });
    fake::waitBackgroundIdle();
    return r;
  }
};

TEST_F(RunnerTest, CompletionRunsOffMainWithDecodedStreamsAndTheRunnerFree) {
  const auto r = run("printf 'ổn\\n'; printf '\\377' >&2; exit 7");
  EXPECT_EQ(r.calls, 1);
  EXPECT_FALSE(r.onMain);
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(r.out, "ổn\n");
  EXPECT_EQ(r.err, "");  // invalid UTF-8 drops only that stream
  EXPECT_TRUE(started().empty());
}

TEST_F(RunnerTest, RunnerGoneBeforeTheJobStartsDoesNothing) {
  const auto marker = test::tempPath("ran");
  auto runner = std::make_shared<Runner>(kShell, script("echo run >" + marker));
  fake::holdBackground(true);
  RunnerTestAccess::chay(*runner, {}, std::nullopt, [](std::int32_t, std::string, std::string) {});
  runner.reset();
  fake::holdBackground(false);
  fake::waitBackgroundIdle();  // nothing is left that could post a job later
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_EQ(fake::waitForMainJobs(1, std::chrono::milliseconds(0)), 0u);
}

TEST_F(RunnerTest, FailuresAreToldAndTheNextPressRunsAgain) {
  // Something thrown in the completion.
  auto runner = std::make_shared<Runner>(kShell, script("printf x"));
  RunnerTestAccess::chay(*runner, {}, std::nullopt,
                         [](std::int32_t, std::string, std::string) { throw std::bad_alloc(); });
  fake::waitBackgroundIdle();
  EXPECT_EQ(started(), (Started{test::sound(false),
                                test::notification("Tavrik trượt chân",
                                                   "Lỗi bên trong tavrik-agent: std::bad_alloc")}));
  EXPECT_EQ(run("", runner).calls, 1);

  // The interpreter missing at first, then installed: no sound for it. A
  // bare name is not looked up in PATH.
  fake::reset();
  const auto node = test::tempPath("node");
  runner = std::make_shared<Runner>(node, script("printf hi"));
  EXPECT_EQ(run("", runner).calls + run("", std::make_shared<Runner>("sh", script(""))).calls, 0);
  const auto missing =
      test::notification("Tavrik trượt chân", "Không chạy được tavrik: No such file or directory");
  EXPECT_EQ(started(), (Started{missing, missing}));
  std::filesystem::create_symlink(kShell, node);
  EXPECT_EQ(run("", runner).out, "hi");
  std::filesystem::remove(node);
}

}  // namespace
}  // namespace tavrik
