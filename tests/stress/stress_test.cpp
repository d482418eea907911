// Many runs and notifications must leave nothing behind: descriptors,
// threads, zombies or memory. Linux only: it reads /proc.
#include <dirent.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "feedback/feedback.h"
#include "platform/fake/fake.h"
#include "platform/process.h"
#include "relay/runner.h"
#include "tests/helpers/fake_support.h"
#include "tests/helpers/runner_access.h"
#include "tests/helpers/test_support.h"

namespace tavrik {

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // their shadow memory and quarantine dwarf the noise
constexpr int kRuns = 2'000;
#else
constexpr bool kSanitized = false;
constexpr int kRuns = 10'000;
#endif

struct Usage {
  int fds = 0;
  int threads = 0;
  long rssKiB = 0;
  int children = 0;
  bool operator==(const Usage& o) const {
    return fds == o.fds && threads == o.threads && children == o.children;
  }
};

Usage usage() {
  Usage u;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)e;
    ++u.fds;
  }
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("Threads:")) u.threads = std::stoi(line.substr(8));
    if (line.starts_with("VmRSS:")) u.rssKiB = std::stol(line.substr(6));
  }
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string text;
    if (!std::getline(stat, text)) continue;
    const auto close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(text.substr(close + 2));
    char state = 0;
    int ppid = 0;
    rest >> state >> ppid;
    if (ppid == ::getpid()) ++u.children;
  }
  return u;
}

std::ostream& operator<<(std::ostream& os, const Usage& u) {
  return os << "{fds " << u.fds << ", threads " << u.threads << ", children " << u.children
            << ", rss " << u.rssKiB << " KiB}";
}

// Reapers finish a moment after their child: wait for the counts to settle.
Usage settledUsage(const Usage& expected) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  Usage u = usage();
  while (!(u == expected) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    u = usage();
  }
  return u;
}

using Stress = test::FakePlatformTest;

TEST_F(Stress, ManyRunsLeaveNothingBehind) {
  auto runner = std::make_shared<Runner>(test::kToolHelper, test::steps({"count", "err:e"}));
  int completions = 0;
  const auto oneRun = [&] {
    RunnerTestAccess::chay(*runner, {}, std::string("input"),
                           [&](std::int32_t status, std::string out, std::string) {
                             if (status == 0 && out == "5") ++completions;
                           });
    ASSERT_EQ(fake::waitForMainJobs(1), 1u);
    fake::waitBackgroundIdle();
    fake::drainMain();
  };
  for (int i = 0; i < 200; ++i) oneRun();  // warm up the allocator
  const Usage before = usage();
  for (int i = 0; i < kRuns; ++i) oneRun();
  const Usage after = settledUsage(before);
  EXPECT_EQ(completions, kRuns + 200);
  EXPECT_EQ(after, before);
  if (!kSanitized) {
    EXPECT_LT(after.rssKiB - before.rssKiB, 2048) << before << " -> " << after;
  }
}

TEST_F(Stress, ManyNotificationsLeaveNothingBehind) {
  fake::setPrograms(test::kToolHelper, test::kToolHelper);
  for (int i = 0; i < 50; ++i) showNotification("t", "b");
  fake::reset();
  fake::setPrograms(test::kToolHelper, test::kToolHelper);
  const Usage before = settledUsage(Usage{usage().fds, 1, 0, 0});
  for (int i = 0; i < 1000; ++i) {
    phatTieng(i % 2 == 0);
    showNotification("Tavrik đã tung Sóng Âm", "Đã gửi lên kho. Máy kia bấm Ctrl+Alt+B để lấy.");
  }
  fake::reset();  // the fake's own record of them is not the agent's memory
  const Usage after = settledUsage(before);
  EXPECT_EQ(after, before);
  if (!kSanitized) {
    EXPECT_LT(after.rssKiB - before.rssKiB, 2048) << before << " -> " << after;
  }
}

TEST(StressProcess, FloodingBothOutputsWhileIgnoringTheInputCompletes) {
  const std::size_t size = 64u << 20;
  auto r = platform::runTool(test::kToolHelper,
                             {test::kToolHelper, test::steps({"flood:" + std::to_string(size)})},
                             std::string(size, 'i'));
  ASSERT_TRUE(std::holds_alternative<platform::ToolExit>(r));
  const auto& done = std::get<platform::ToolExit>(r);
  EXPECT_EQ(done.status, 0);
  EXPECT_EQ(done.out.size(), size);
  EXPECT_EQ(done.err.size(), platform::RunLimits{}.tail);  // only its end is kept
}

}  // namespace
}  // namespace tavrik
