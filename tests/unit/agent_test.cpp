#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/agent.h"
#include "platform/fake/fake.h"
#include "tests/harness/test_support.h"

namespace tavrik {
namespace {

using test::notification;
using test::sound;
using test::started;
using Started = std::vector<test::Started>;

class Agent : public test::FakePlatformTest {
 protected:
  int start(std::vector<std::string> args) {
    args.insert(args.begin(), "tavrik-agent");
    return agentMain(args);
  }

  // Starts the agent with the shell as Node and `text` as tavrik.js.
  void startWithTool(const std::string& text, std::vector<std::string> more = {}) {
    more.insert(more.begin(), {"--node", test::kShell, "--cli", test::script(text)});
    testing::internal::CaptureStderr();  // its status line
    const int status = start(more);
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(status, 0);
  }

  // Lets the run finish and the main thread catch up with it.
  void finishRun() {
    fake::waitBackgroundIdle();
    fake::drainMain();
  }
};

TEST_F(Agent, HandlerDispatchesOnIdAlone) {
  const auto ran = test::tempPath("ran");
  startWithTool("echo \"$2\" >>" + ran + "; exit 1");

  EXPECT_EQ(fake::press(3), 0);
  EXPECT_EQ(fake::pressUnreadable(), 0);  // would be id 1 if it were read
  EXPECT_TRUE(started().empty());

  // A run either of them started would hold the runner: this push would be
  // dropped, and the run seen.
  fake::setPasteboardText("x");
  EXPECT_EQ(fake::press(1), 0);
  finishRun();
  EXPECT_EQ(test::readFile(ran), "push\n");
}

TEST_F(Agent, PullPutsTheOutputOnTheClipboardOnTheMainThread) {
  startWithTool("printf 'Chào bạn 👋\\r\\n'; echo noise >&2");
  fake::press(2);
  finishRun();
  EXPECT_EQ(fake::pasteboardText(), "Chào bạn 👋\r\n");
  EXPECT_EQ(started(), (Started{sound(true), notification("Mục tiêu đã bị khoá",
                                                          "Truy sát ngay nào! Ctrl+V để dán.", true)}));
  for (const auto& t : fake::told()) EXPECT_TRUE(t.onMainThread);
  EXPECT_FALSE(fake::pasteboardTouchedOffMain());
}

TEST_F(Agent, PullThatCannotWriteTheClipboardIsAFailure) {
  startWithTool("printf x");
  fake::setPasteboardText("old");
  fake::failPasteboardWrites(true);
  fake::press(2);
  finishRun();
  EXPECT_EQ(fake::pasteboardText(), "old");
  EXPECT_EQ(
      started(),
      (Started{sound(false), notification("Tavrik trượt chân", "Không ghi được vào clipboard.")}));
}

TEST_F(Agent, ACompanionThatCannotBeReadIsToldAtStart) {
  testing::internal::CaptureStderr();
  const int status = start({"--cli", "/nonexistent/tavrik.js"});
  const auto err = testing::internal::GetCapturedStderr();
  ASSERT_EQ(status, 0);
  EXPECT_EQ(started(), (Started{notification("Tavrik chưa thấy tavrik.js",
                                             "Không đọc được /nonexistent/tavrik.js. Chạy lại: "
                                             "tavrik setup KHO")}));
  EXPECT_EQ(err,
            "tavrik: không đọc được --cli /nonexistent/tavrik.js: No such file or "
            "directory\ntavrik: ctrl+alt+c = gửi đi (OK), ctrl+alt+b = lấy về (OK)\n");
}

}  // namespace
}  // namespace tavrik
