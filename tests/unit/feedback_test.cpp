#include <gtest/gtest.h>

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

TEST_F(Feedback, ProgramsThatCannotStartAreToldOnStandardError) {
  fake::setPrograms("/nonexistent/osascript", "/nonexistent/afplay");
  test::StderrCapture err;
  showNotification("a", "b");
  phatTieng(false);
  EXPECT_EQ(err.text(),
            "tavrik: không chạy được /nonexistent/osascript: No such file or directory\n"
            "tavrik: không chạy được /nonexistent/afplay: No such file or directory\n");
}

TEST(CutText, KeepsWholeCharactersAndMarksTheCut) {
  EXPECT_EQ(cutText("ngắn", 100), "ngắn");
  EXPECT_EQ(cutText("abcdefgh", 8), "abcdefgh");  // fits exactly
  EXPECT_EQ(cutText("abcdefghi", 8), "abcde…");
  // "ệ" is 3 bytes: never split, never left half.
  EXPECT_EQ(cutText("aaệệệ", 9), "aaệ…");
  EXPECT_EQ(cutText("aaệệệ", 10), "aaệ…");
  // e + combining acute (2 bytes) is one character: kept or dropped whole.
  EXPECT_EQ(cutText("xxe\u0301e\u0301e\u0301", 7), "xx…");
  EXPECT_EQ(cutText("xxe\u0301e\u0301e\u0301", 8), "xxe\u0301…");
  // Bytes that are not UTF-8 are cut between, never mid-sequence after them.
  EXPECT_EQ(cutText("\xff\xfe\xfd\xfc\xfb", 4), "\xff…");
}

TEST_F(Feedback, LongTextsAreCutBeforeTheProgramStarts) {
  const std::string body(100000, 'b');
  const std::string title(1000, 't');
  showNotification(title, body);
  const auto script = started().at(0).argv.at(2);
  EXPECT_EQ(script, "display notification \"" + body.substr(0, kMaxBodyBytes - 3) +
                        "…\" with title \"" + title.substr(0, kMaxTitleBytes - 3) + "…\"");
}

}  // namespace
}  // namespace tavrik
