#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/agent.h"
#include "platform/fake/fake.h"
#include "tests/helpers/fake_support.h"
#include "tests/helpers/test_support.h"

namespace tavrik {
namespace {

using test::kToolHelper;
using test::notification;
using test::sound;
using test::started;
using test::steps;
using Started = std::vector<test::Started>;

const std::vector<std::string> kStartUpCalls{"makeApplication", "installHotKeyHandler",
                                             "registerHotKey 1", "registerHotKey 2",
                                             "runEventLoop"};

class Agent : public test::FakePlatformTest {
 protected:
  int start(std::vector<std::string> args) {
    args.insert(args.begin(), "tavrik-agent");
    return agentMain(args);
  }

  // Starts the agent with the helper as Node and `script` as tavrik.js.
  void startWithTool(const std::string& script, std::vector<std::string> more = {}) {
    test::StderrCapture quiet;
    more.insert(more.begin(), {"--node", kToolHelper, "--cli", script});
    ASSERT_EQ(start(more), 0);
  }

  // Lets the run finish and the main thread catch up with it.
  void finishRun(std::size_t mainJobs) {
    ASSERT_EQ(fake::waitForMainJobs(mainJobs), mainJobs);
    fake::waitBackgroundIdle();
    fake::drainMain();
  }
};

TEST_F(Agent, MissingScriptPathEndsBeforeAnythingElse) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"--cli", ""}, {"--copy", "nonsense", "--cli"}, {"-x", "--cli", "p"}}) {
    test::StderrCapture err;
    EXPECT_EQ(start(args), 2);
    EXPECT_EQ(err.text(), "Thiếu --cli <đường dẫn tavrik.js>\n");
    EXPECT_TRUE(fake::calls().empty());
  }
}

TEST_F(Agent, UnreadableHotkeyNamesBothTexts) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"ctrl+esc", "ctrl+alt+b"}, {"ctrl+alt+c", "ctrl+alt"}, {"", ""}, {"c", "ctrl+c\n"}};
  for (const auto& [copy, paste] : cases) {
    test::StderrCapture err;
    EXPECT_EQ(start({"--copy", copy, "--paste", paste, "--cli", "t.js"}), 2);
    EXPECT_EQ(err.text(), "Phím tắt không đọc được: " + copy + " / " + paste + "\n");
    EXPECT_TRUE(fake::calls().empty());
  }
}

TEST_F(Agent, UnreadableTimeoutIsABadConfiguration) {
  for (const std::string value :
       {"0", "-5", "", "1.5", "+3", " 7", "9s", "1000001", "99999999999999999999"}) {
    test::StderrCapture err;
    EXPECT_EQ(start({"--cli", "t.js", "--timeout", value}), 2);
    EXPECT_EQ(err.text(),
              "Thời hạn --timeout không đọc được: " + value + " (cần một số giây nguyên dương)\n");
    EXPECT_TRUE(fake::calls().empty());
  }
}

TEST_F(Agent, StartUpOrderRegistrationsAndStatusLine) {
  test::StderrCapture err;
  EXPECT_EQ(start({"--cli", "t.js"}), 0);
  EXPECT_EQ(fake::calls(), kStartUpCalls);
  const auto regs = fake::registrations();
  ASSERT_EQ(regs.size(), 2u);
  EXPECT_EQ(regs[0].id.signature, 0x5456524Bu);  // 'TVRK'
  EXPECT_EQ(regs[0].id.id, 1u);
  EXPECT_EQ(regs[0].modifiers, 0x1800u);
  EXPECT_EQ(regs[0].keyCode, 8u);
  EXPECT_EQ(regs[1].id.signature, 0x5456524Bu);
  EXPECT_EQ(regs[1].id.id, 2u);
  EXPECT_EQ(regs[1].keyCode, 11u);
  EXPECT_EQ(err.text(), "tavrik: ctrl+alt+c = gửi đi (OK), ctrl+alt+b = lấy về (OK)\n");
  EXPECT_TRUE(started().empty());
  EXPECT_EQ(runner->nodePath(), "/usr/bin/env");
  EXPECT_EQ(runner->cliPath(), "t.js");
}

TEST_F(Agent, RefusedHotkeysAreToldThenTheAgentRunsOn) {
  fake::refuseRegistration(1, -9878);
  fake::refuseRegistration(2, 5);
  test::StderrCapture err;
  EXPECT_EQ(start({"--copy", " Cmd+Shift+F12", "--cli", "t.js"}), 0);
  EXPECT_EQ(fake::calls(), kStartUpCalls);
  const std::string copyLine = "RegisterEventHotKey lỗi: gửi đi ( Cmd+Shift+F12)=-9878\n";
  const std::string pasteLine = "RegisterEventHotKey lỗi: lấy về (ctrl+alt+b)=5\n";
  EXPECT_EQ(err.text(), copyLine + pasteLine +
                            "tavrik:  Cmd+Shift+F12 = gửi đi (HỎNG), ctrl+alt+b = lấy về (HỎNG)\n");
  const std::string title = "Phím này có người giữ mất rồi";
  EXPECT_EQ(started(),
            (Started{notification(title,
                                  "Ứng dụng khác đang giữ gửi đi ( Cmd+Shift+F12). Đổi "
                                  "bằng: tavrik hotkeys set"),
                     notification(title,
                                  "Ứng dụng khác đang giữ lấy về (ctrl+alt+b). Đổi bằng: "
                                  "tavrik hotkeys set")}));
  // Each notification is started before its standard-error line.
  const auto launches = fake::launches();
  EXPECT_EQ(launches[0].stderrBytesBefore, 0);
  EXPECT_EQ(launches[1].stderrBytesBefore, static_cast<long long>(copyLine.size()));
}

TEST_F(Agent, OneRefusedHotkey) {
  fake::refuseRegistration(2, -9878);
  test::StderrCapture err;
  EXPECT_EQ(start({"--cli", "t.js"}), 0);
  EXPECT_EQ(err.text(),
            "RegisterEventHotKey lỗi: lấy về (ctrl+alt+b)=-9878\n"
            "tavrik: ctrl+alt+c = gửi đi (OK), ctrl+alt+b = lấy về (HỎNG)\n");
  EXPECT_EQ(started().size(), 1u);
}

TEST_F(Agent, HandlerDispatchesOnIdAlone) {
  const auto ran = test::tempPath("ran");
  startWithTool(steps({"record:" + ran, "status:1"}));
  fake::setPasteboardNonText();

  EXPECT_EQ(fake::press(3), 0);
  EXPECT_EQ(fake::pressUnreadable(), 0);  // would be id 1 if it were read
  EXPECT_TRUE(started().empty());

  EXPECT_EQ(fake::press(1), 0);  // push: no text, so no run
  EXPECT_EQ(started(), (Started{sound(false), notification("Chưa có gì để tung",
                                                           "Clipboard rỗng (hoặc không phải chữ) — "
                                                           "copy một đoạn rồi bấm lại.")}));
  EXPECT_FALSE(std::filesystem::exists(ran));

  EXPECT_EQ(fake::press(2), 0);  // pull: one run
  finishRun(1);
  EXPECT_EQ(test::readFile(ran), "run\n");
}

TEST_F(Agent, PushSendsTheTextUnchanged) {
  const auto input = test::tempPath("stdin");
  const auto argv = test::tempPath("argv");
  const std::string script = steps({"save-argv:" + argv, "save-stdin:" + input, "err:warning"});
  startWithTool(script);
  for (const std::string text : {"Xin chào, thế giới!\n", "   ", "a\r\n\"b\"\\"}) {
    fake::setPasteboardText(text);
    fake::press(1);
    finishRun(1);
    EXPECT_EQ(test::readFile(input), text);
  }
  EXPECT_EQ(test::readFile(argv),
            kToolHelper + '\0' + script + '\0' + "clip" + '\0' + "push" + '\0' + "--stdin" + '\0');
  // Standard error output does not spoil a success.
  const auto success = Started{
      sound(true),
      notification("Tavrik đã tung Sóng Âm", "Đã gửi lên kho. Máy kia bấm Ctrl+Alt+B để lấy.")};
  EXPECT_EQ(started(),
            (Started{success[0], success[1], success[0], success[1], success[0], success[1]}));
  for (const auto& l : fake::launches()) EXPECT_FALSE(l.onMainThread);
}

TEST_F(Agent, PushOnEmptyClipboardStartsNoTool) {
  const auto ran = test::tempPath("ran");
  startWithTool("record:" + ran);
  fake::setPasteboardText("");
  fake::press(1);
  EXPECT_EQ(fake::waitForMainJobs(1, std::chrono::milliseconds(100)), 0u);
  EXPECT_FALSE(std::filesystem::exists(ran));
  ASSERT_EQ(fake::launches().size(), 2u);
  EXPECT_TRUE(fake::launches()[1].onMainThread);
}

TEST_F(Agent, ToolFailureShowsItsLastLine) {
  struct Case {
    std::string script;
    std::string body;
  };
  const Case cases[] = {
      {steps({"err:a\nb\n", "status:1"}), "b"},
      {steps({"out:x\n\ny\n\n", "status:2"}), "y"},
      {"status:3", "Không rõ lỗi."},
      {steps({"out:x", "err:\n", "status:4"}), "Không rõ lỗi."},
      {"kill:9", "Không rõ lỗi."},
  };
  for (const auto& c : cases) {
    SetUp();
    startWithTool(c.script);
    fake::setPasteboardText("text");
    fake::press(1);
    finishRun(1);
    fake::press(2);
    finishRun(1);
    const auto failed = Started{sound(false), notification("Tavrik trượt chân", c.body)};
    EXPECT_EQ(started(), (Started{failed[0], failed[1], failed[0], failed[1]})) << c.script;
    EXPECT_EQ(fake::pasteboardText(), "text");
  }
}

TEST_F(Agent, PullPutsTheOutputOnTheClipboardUnchanged) {
  for (const std::string text : {"hello\n", "\n", "Chào bạn 👋\r\n"}) {
    SetUp();
    startWithTool(steps({"out:" + text, "err:noise"}));
    fake::setPasteboardText("old");
    fake::press(2);
    finishRun(2);  // the clipboard update, then the clearing job
    EXPECT_EQ(fake::pasteboardText(), text);
    EXPECT_EQ(started(), (Started{sound(true), notification("Mục tiêu đã bị khoá",
                                                            "Truy sát ngay nào! Cmd+V để dán.")}));
    for (const auto& l : fake::launches()) EXPECT_TRUE(l.onMainThread);
    EXPECT_FALSE(fake::pasteboardTouchedOffMain());
  }
}

TEST_F(Agent, PullWithNothingLeavesTheClipboard) {
  for (const std::string& script : {std::string("status:0"), steps({"out:ok\xc0\x80", "err:e"})}) {
    SetUp();
    startWithTool(script);
    fake::setPasteboardText("old");
    fake::press(2);
    finishRun(1);
    EXPECT_EQ(fake::pasteboardText(), "old");
    EXPECT_EQ(fake::pasteboardWrites(), 0);
    EXPECT_EQ(started(), (Started{sound(false), notification("Chưa thấy mục tiêu nào",
                                                             "Máy kia chưa gửi gì sang.")}));
  }
}

TEST_F(Agent, PullThatCannotWriteTheClipboardIsAFailure) {
  startWithTool("out:x");
  fake::setPasteboardText("old");
  fake::failPasteboardWrites(true);
  fake::press(2);
  finishRun(2);
  EXPECT_EQ(fake::pasteboardWrites(), 1);
  EXPECT_EQ(fake::pasteboardText(), "old");
  EXPECT_EQ(
      started(),
      (Started{sound(false), notification("Tavrik trượt chân", "Không ghi được vào clipboard.")}));
}

TEST_F(Agent, AClipboardThatCannotBeReadIsToldWithItsReason) {
  const auto ran = test::tempPath("ran");
  startWithTool("record:" + ran);
  const std::pair<platform::ReadFailure, std::string> cases[] = {
      {platform::ReadFailure::kNoAnswer, "Ứng dụng đang giữ clipboard không trả lời."},
      {platform::ReadFailure::kTooSlow, "Ứng dụng đang giữ clipboard gửi quá chậm (quá 10 giây)."},
      {platform::ReadFailure::kTooLarge, "Chữ trong clipboard quá lớn (hơn 256 MiB)."},
  };
  Started expected;
  for (const auto& [failure, body] : cases) {
    fake::failPasteboardRead(failure);
    fake::press(1);
    expected.push_back(sound(false));
    expected.push_back(notification("Tavrik trượt chân", body));
  }
  EXPECT_EQ(started(), expected);
  EXPECT_FALSE(std::filesystem::exists(ran));
}

TEST_F(Agent, AToolPastItsDeadlineIsToldAndTheNextPressRuns) {
  const auto gate = test::tempPath("gate");
  const auto ran = test::tempPath("ran");
  startWithTool(steps({"record:" + ran, "await:" + gate}), {"--timeout", "1"});
  fake::press(2);
  finishRun(1);
  { std::ofstream(gate) << ""; }
  fake::press(2);
  finishRun(1);
  EXPECT_EQ(test::readFile(ran), "run\nrun\n");
  EXPECT_EQ(
      started(),
      (Started{sound(false),
               notification("Tavrik trượt chân", "tavrik không trả lời trong 1 giây."),
               sound(false), notification("Chưa thấy mục tiêu nào", "Máy kia chưa gửi gì sang.")}));
  std::filesystem::remove(gate);
}

TEST_F(Agent, PressesDuringARunAreDroppedSilently) {
  const auto gate = test::tempPath("gate");
  const auto ran = test::tempPath("ran");
  startWithTool(steps({"record:" + ran, "await:" + gate, "out:new"}));
  fake::setPasteboardText("old");
  fake::press(2);
  fake::press(2);
  fake::press(1);  // push with text: dropped too
  EXPECT_TRUE(started().empty());

  fake::setPasteboardText("");  // push on an empty clipboard still answers
  fake::press(1);
  EXPECT_EQ(started().size(), 2u);

  { std::ofstream(gate) << ""; }
  ASSERT_EQ(fake::waitForMainJobs(2), 2u);
  fake::waitBackgroundIdle();
  fake::press(2);                       // completion done, busy not yet cleared
  ASSERT_TRUE(fake::runNextMainJob());  // the clipboard update
  EXPECT_EQ(fake::pasteboardText(), "new");
  fake::press(2);
  fake::waitBackgroundIdle();
  EXPECT_EQ(test::readFile(ran), "run\n");

  ASSERT_TRUE(fake::runNextMainJob());  // busy cleared
  fake::press(2);
  finishRun(2);
  EXPECT_EQ(test::readFile(ran), "run\nrun\n");
  std::filesystem::remove(gate);
}

}  // namespace
}  // namespace tavrik
