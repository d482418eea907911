#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <variant>

#include "feedback/feedback.h"
#include "platform/linux/standin/standin.h"
#include "platform/process.h"
#include "tests/helpers/test_support.h"

namespace tavrik::standin {
namespace {

namespace fs = std::filesystem;

std::string script(std::string_view title, std::string_view body) {
  return "display notification " + quote(body) + " with title " + quote(title);
}

TEST(NotificationScript, ReadsBackWhatQuoteWrote) {
  const std::string texts[] = {
      "",
      "Tavrik đã tung Sóng Âm",
      "say \"hi\"",
      "C:\\path\\",
      "\\\"",
      "\"",
      "\\",
      "line 1\nline 2\r\n\ttab",
      "-e --help",
      "<b>bold</b> & <i>",
      "\" with title \"fake",
      "Clipboard rỗng (hoặc không phải chữ) — copy một đoạn rồi bấm lại.",
  };
  for (const auto& title : texts) {
    for (const auto& body : texts) {
      EXPECT_EQ(parseNotificationScript(script(title, body)), (Notification{title, body}))
          << script(title, body);
    }
  }
}

TEST(NotificationScript, RefusesAnythingElse) {
  const char* scripts[] = {
      "",
      "display notification \"b\"",
      "display notification \"b\" with title \"t\" ",
      "display notification \"b\" with title \"t\" sound name \"x\"",
      "display notification \"b\" with title \"t",
      "display notification \"b\\n\" with title \"t\"",  // an escape the agent never writes
      "display notification \"b\\\" with title \"t\"",
      "display  notification \"b\" with title \"t\"",
      "display notification b with title \"t\"",
      "display dialog \"b\" with title \"t\"",
      "Display notification \"b\" with title \"t\"",
  };
  for (const char* s : scripts) EXPECT_FALSE(parseNotificationScript(s).has_value()) << s;
}

TEST(NotificationScript, NotifySendGetsPlainTitleAndMarkupBody) {
  EXPECT_EQ(notifySendArguments({"<T & T>", "a <b> & c\nd"}),
            (std::vector<std::string>{"notify-send", "--app-name=tavrik", "--", "<T & T>",
                                      "a &lt;b&gt; &amp; c\nd"}));
  EXPECT_EQ(notificationLine({"Tiêu đề", "dòng 1\ndòng 2"}), "tavrik: [Tiêu đề] dòng 1 dòng 2\n");
}

// A scratch directory with recording programs and a sound theme.
class StandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = test::tempPath("standin");
    fs::create_directories(root_ + "/bin");
    fs::create_directories(root_ + "/share/sounds/freedesktop/stereo");
    for (const char* name : {"complete.oga", "dialog-error.oga"}) {
      std::ofstream(root_ + "/share/sounds/freedesktop/stereo/" + name) << "ogg";
    }
  }
  void TearDown() override { fs::remove_all(root_); }

  // A program on our PATH that records its arguments and exits with status.
  void recorder(const std::string& name, int status) {
    const auto path = root_ + "/bin/" + name;
    std::ofstream(path) << "#!/bin/sh\nprintf '%s\\037' \"$0\" \"$@\" >> " << root_ << "/log\n"
                        << "exit " << status << "\n";
    fs::permissions(path, fs::perms::owner_all);
  }
  std::string log() { return test::readFile(root_ + "/log"); }

  platform::ToolExit run(const std::string& program, std::vector<std::string> args) {
    std::vector<std::string> argv{"/usr/bin/env", "PATH=" + root_ + "/bin",
                                  "XDG_DATA_DIRS=" + root_ + "/share",
                                  std::string(TAVRIK_LIBEXEC) + "/" + program};
    argv.insert(argv.end(), args.begin(), args.end());
    auto r = platform::runTool("/usr/bin/env", argv, std::nullopt);
    return std::get<platform::ToolExit>(r);
  }

  std::string root_;
};

TEST_F(StandIn, OsascriptShowsTheNotificationWithNotifySend) {
  recorder("notify-send", 0);
  const auto r = run("osascript", {"-e", script("Tavrik trượt chân", "a < b & \"c\"")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(log(), root_ +
                       "/bin/notify-send\x1f--app-name=tavrik\x1f--\x1fTavrik trượt chân\x1f"
                       "a &lt; b &amp; \"c\"\x1f");
}

TEST_F(StandIn, OsascriptLogsWhatItCannotShow) {
  const std::string line = "tavrik: [T] b\n";
  EXPECT_EQ(run("osascript", {"-e", script("T", "b")}).err, line);  // no notify-send
  recorder("notify-send", 1);                                       // no bus or no server
  const auto r = run("osascript", {"-e", script("T", "b")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, line);
}

TEST_F(StandIn, OsascriptRefusesOtherCommandLines) {
  recorder("notify-send", 0);
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"-e"}, {"-x", script("t", "b")}, {"-e", "beep"}, {"-e", script("t", "b"), "-e"}}) {
    const auto r = run("osascript", args);
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err, "");
  }
  EXPECT_EQ(log(), "");
}

TEST_F(StandIn, AfplayMapsTheSystemSoundsAndFallsBackToPwPlay) {
  const std::string stereo = root_ + "/share/sounds/freedesktop/stereo/";
  recorder("paplay", 0);
  EXPECT_EQ(run("afplay", {"/System/Library/Sounds/Glass.aiff"}).status, 0);
  EXPECT_EQ(log(), root_ + "/bin/paplay\x1f" + stereo + "complete.oga\x1f");

  recorder("paplay", 1);  // no sound server
  recorder("pw-play", 0);
  fs::remove(root_ + "/log");
  EXPECT_EQ(run("afplay", {"/System/Library/Sounds/Basso.aiff"}).status, 0);
  EXPECT_EQ(log(), root_ + "/bin/paplay\x1f" + stereo + "dialog-error.oga\x1f" + root_ +
                       "/bin/pw-play\x1f" + stereo + "dialog-error.oga\x1f");

  fs::remove(root_ + "/log");
  const std::string own = stereo + "complete.oga";
  EXPECT_EQ(run("afplay", {own}).status, 0);  // any other file plays as given
  EXPECT_EQ(log(),
            root_ + "/bin/paplay\x1f" + own + "\x1f" + root_ + "/bin/pw-play\x1f" + own + "\x1f");
}

TEST_F(StandIn, AfplayIsQuietWhenNothingCanPlay) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"/System/Library/Sounds/Glass.aiff"}, {"/nonexistent.wav"}, {}}) {
    const auto r = run("afplay", args);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
  }
  recorder("paplay", 0);
  fs::remove_all(root_ + "/share");  // the theme is not installed
  EXPECT_NE(run("afplay", {"/System/Library/Sounds/Glass.aiff"}).status, 0);
  EXPECT_EQ(log(), "");
}

TEST(DataDirs, DefaultAndOrder) {
  EXPECT_EQ(dataDirsFrom(nullptr), (std::vector<std::string>{"/usr/local/share", "/usr/share"}));
  EXPECT_EQ(dataDirsFrom(""), (std::vector<std::string>{"/usr/local/share", "/usr/share"}));
  EXPECT_EQ(dataDirsFrom("/a::/b"), (std::vector<std::string>{"/a", "/b"}));
}

}  // namespace
}  // namespace tavrik::standin
