#include <gtest/gtest.h>

#include "feedback/feedback.h"
#include "platform/fake/fake.h"
#include "tests/harness/test_support.h"

namespace tavrik {
namespace {

using Feedback = test::FakePlatformTest;

TEST_F(Feedback, ProgramsThatCannotStartAreToldOnStandardError) {
  fake::setPrograms("/nonexistent/osascript", "/nonexistent/afplay");
  testing::internal::CaptureStderr();
  showNotification("a", "b");
  phatTieng(false);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "tavrik: không chạy được /nonexistent/osascript: No such file or directory\n"
            "tavrik: không chạy được /nonexistent/afplay: No such file or directory\n");
}

TEST(CutText, KeepsWholeCharactersAndMarksTheCut) {
  EXPECT_EQ(cutText("abcdefgh", 8), "abcdefgh");  // fits exactly
  EXPECT_EQ(cutText("abcdefghi", 8), "abcde…");
  EXPECT_EQ(cutText("aaệệệ", 10), "aaệ…");  // "ệ" is 3 bytes: never split
  // e + combining acute (2 bytes) is one character: kept or dropped whole.
  EXPECT_EQ(cutText("xxe\u0301e\u0301e\u0301", 7), "xx…");
  EXPECT_EQ(cutText("xxe\u0301e\u0301e\u0301", 8), "xxe\u0301…");
  // Bytes that are not UTF-8 are cut between, never mid-sequence after them.
  EXPECT_EQ(cutText("\xff\xfe\xfd\xfc\xfb", 4), "\xff…");
}

}  // namespace
}  // namespace tavrik
