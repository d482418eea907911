#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <new>
#include <thread>

#include "platform/fake/fake.h"
#include "relay/runner.h"
#include "tests/helpers/fake_support.h"
#include "tests/helpers/runner_access.h"
#include "tests/helpers/test_support.h"

namespace tavrik {

namespace {

using test::kToolHelper;
using test::steps;

TEST(DongLoi, PicksTheLastNonEmptyLine) {
  const auto d = &RunnerTestAccess::dongLoi;
  EXPECT_EQ(d("", "a\nb\n"), "b");
  EXPECT_EQ(d("x\n\ny\n\n", ""), "y");
  EXPECT_EQ(d("out", "\n\n"), "Không rõ lỗi.");  // only the emptiness of err decides
  EXPECT_EQ(d("", ""), "Không rõ lỗi.");
  EXPECT_EQ(d("", "a\r\nb"), "a\r\nb");  // CR LF is one character, no cut
  EXPECT_EQ(d("", "a\r\n\nb\r\n"), "b\r\n");
  EXPECT_EQ(d("", "reason\n   \n"), "   ");  // nothing trimmed
  EXPECT_EQ(d("", "\tlỗi: không có mạng\r"), "\tlỗi: không có mạng\r");
  EXPECT_EQ(d("ignored", "only"), "only");
}

struct Result {
  std::int32_t status = -1;
  std::string out, err;
  bool onMain = true;
  int calls = 0;
};

class RunnerTest : public test::FakePlatformTest {
 protected:
  Runner::Xong recordInto(Result& r) {
    const auto main = std::this_thread::get_id();
    return [&r, main, this](std::int32_t s, std::string o, std::string e) {
      std::lock_guard lock(mutex_);
      r.status = s;
      r.out = std::move(o);
      r.err = std::move(e);
      r.onMain = std::this_thread::get_id() == main;
      ++r.calls;
    };
  }
  std::mutex mutex_;
};

TEST_F(RunnerTest, CompletionRunsOffMainWithDecodedStreamsThenBusyClears) {
  auto runner = std::make_shared<Runner>(kToolHelper, steps({"out:ổn\n", "err:\xff", "status:7"}));
  Result r;
  RunnerTestAccess::chay(*runner, {}, std::nullopt, recordInto(r));
  ASSERT_EQ(fake::waitForMainJobs(1), 1u);  // the clearing job, after the completion
  fake::waitBackgroundIdle();
  EXPECT_EQ(r.calls, 1);
  EXPECT_FALSE(r.onMain);
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(r.out, "ổn\n");
  EXPECT_EQ(r.err, "");                  // invalid UTF-8 drops only that stream
  EXPECT_TRUE(test::started().empty());  // the runner itself shows nothing
}

TEST_F(RunnerTest, ArgumentsFollowTheScriptPath) {
  auto runner = std::make_shared<Runner>(kToolHelper, "argv");
  Result r;
  RunnerTestAccess::chay(*runner, {"clip", "pull", "--print"}, std::nullopt, recordInto(r));
  fake::waitForMainJobs(1);
  fake::waitBackgroundIdle();
  EXPECT_EQ(r.out,
            kToolHelper + '\0' + "argv" + '\0' + "clip" + '\0' + "pull" + '\0' + "--print" + '\0');
}

TEST_F(RunnerTest, RunnerGoneBeforeTheJobStartsDoesNothing) {
  const auto marker = test::tempPath("ran");
  auto runner = std::make_shared<Runner>(kToolHelper, "record:" + marker);
  Result r;
  fake::holdBackground(true);
  RunnerTestAccess::chay(*runner, {}, std::nullopt, recordInto(r));
  runner.reset();
  fake::holdBackground(false);
  fake::waitBackgroundIdle();
  EXPECT_EQ(r.calls, 0);
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_EQ(fake::waitForMainJobs(1, std::chrono::milliseconds(50)), 0u);
  EXPECT_TRUE(test::started().empty());
}

TEST_F(RunnerTest, AnythingThrownIsToldAndBusyStillClears) {
  auto runner = std::make_shared<Runner>(kToolHelper, "out:x");
  RunnerTestAccess::chay(*runner, {}, std::nullopt,
                         [](std::int32_t, std::string, std::string) { throw std::bad_alloc(); });
  ASSERT_EQ(fake::waitForMainJobs(1), 1u);
  fake::waitBackgroundIdle();
  EXPECT_EQ(
      test::started(),
      (std::vector<test::Started>{
          test::sound(false),
          test::notification("Tavrik trượt chân", "Lỗi bên trong tavrik-agent: std::bad_alloc")}));
}

TEST_F(RunnerTest, LaunchFailureIsToldAndTheNextPressRunsAgain) {
  // The interpreter is missing at first, then installed.
  const auto node = test::tempPath("node");
  auto runner = std::make_shared<Runner>(node, "out:hi");
  Result r;
  RunnerTestAccess::chay(*runner, {}, std::nullopt, recordInto(r));
  ASSERT_EQ(fake::waitForMainJobs(1), 1u);
  fake::waitBackgroundIdle();
  EXPECT_EQ(r.calls, 0);
  const auto launches = fake::launches();
  ASSERT_EQ(launches.size(), 1u);  // no sound
  EXPECT_EQ(
      (test::Started{launches[0].path, launches[0].argv}),
      test::notification("Tavrik trượt chân", "Không chạy được tavrik: No such file or directory"));
  EXPECT_FALSE(launches[0].onMainThread);
  fake::drainMain();

  std::filesystem::create_symlink(kToolHelper, node);
  RunnerTestAccess::chay(*runner, {}, std::nullopt, recordInto(r));
  fake::waitForMainJobs(1);
  fake::waitBackgroundIdle();
  EXPECT_EQ(r.calls, 1);
  EXPECT_EQ(r.out, "hi");
  std::filesystem::remove(node);
}

}  // namespace
}  // namespace tavrik
