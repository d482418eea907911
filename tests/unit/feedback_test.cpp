#include <dirent.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "feedback/feedback.h"
#include "platform/fake/fake.h"
#include "tests/helpers/fake_support.h"
#include "tests/helpers/test_support.h"

namespace tavrik {
namespace {

using test::notification;
using test::sound;
using test::started;

TEST(Quote, EscapesBackslashesThenQuotesOnly) {
  EXPECT_EQ(quote(""), "\"\"");
  EXPECT_EQ(quote("say \"hi\""), "\"say \\\"hi\\\"\"");
  EXPECT_EQ(quote("C:\\x"), "\"C:\\\\x\"");
  EXPECT_EQ(quote("\\\""), "\"\\\\\\\"\"");  // backslash, quote -> three backslashes, quote
  EXPECT_EQ(quote("a\nb\tc\r\x01"), "\"a\nb\tc\r\x01\"");
  EXPECT_EQ(quote("Máy kia chưa gửi gì sang. 'ồ' — $x `y`"),
            "\"Máy kia chưa gửi gì sang. 'ồ' — $x `y`\"");
}

using Feedback = test::FakePlatformTest;

TEST_F(Feedback, ExactCommandLines) {
  phatTieng(true);
  phatTieng(false);
  showNotification("T \\ \"x\"", "line1\nline2");
  showNotification("", "");
  const std::vector<test::Started> expected{
      sound(true),
      sound(false),
      {test::kNotifier,
       {test::kNotifier, "-e",
        "display notification \"line1\nline2\" with title \"T \\\\ \\\"x\\\"\""}},
      {test::kNotifier, {test::kNotifier, "-e", "display notification \"\" with title \"\""}},
  };
  EXPECT_EQ(started(), expected);
}

TEST_F(Feedback, MissingProgramsAreSilent) {
  fake::setPrograms("/nonexistent/osascript", "/nonexistent/afplay");
  test::StderrCapture err;
  showNotification("a", "b");
  phatTieng(false);
  EXPECT_EQ(err.text(), "");
  EXPECT_EQ(fake::launches().size(), 2u);
}

#ifdef __linux__
// Children of this process that are zombies, and all children, from /proc.
std::pair<int, int> zombiesAndChildren() {
  int zombies = 0, children = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    const auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    char state = 0;
    int ppid = 0;
    rest >> state >> ppid;
    if (ppid != ::getpid()) continue;
    ++children;
    if (state == 'Z') ++zombies;
  }
  return {zombies, children};
}

TEST_F(Feedback, ManyNotificationsLeaveNoZombie) {
  fake::setPrograms(test::kToolHelper, test::kToolHelper);
  for (int i = 0; i < 300; ++i) {
    showNotification("t", "b");
    phatTieng(i % 2 == 0);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  auto counts = zombiesAndChildren();
  while (counts.second > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    counts = zombiesAndChildren();
  }
  EXPECT_EQ(counts, std::make_pair(0, 0));
}
#endif

}  // namespace
}  // namespace tavrik
