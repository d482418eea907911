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

TEST_F(Feedback, MissingProgramsAreSilent) {
  fake::setPrograms("/nonexistent/osascript", "/nonexistent/afplay");
  test::StderrCapture err;
  showNotification("a", "b");
  phatTieng(false);
  EXPECT_EQ(err.text(), "");
  EXPECT_EQ(fake::launches().size(), 2u);
}

}  // namespace
}  // namespace tavrik
