#include <gtest/gtest.h>

#include "feedback/feedback.h"
#include "platform/fake/fake.h"
#include "platform/macos/commands.h"
#include "tests/harness/test_support.h"

namespace tavrik {
namespace {

using Feedback = test::FakePlatformTest;

TEST_F(Feedback, TheSystemGetsTheTextsCutAndMacOSTheCommandLinesItAlwaysHad) {
  showNotification(std::string(kMaxTitleBytes + 1, 't'), "b", false);
  phatTieng(true);
  EXPECT_EQ(test::started(),
            (std::vector{test::notification(std::string(kMaxTitleBytes - 3, 't') + "…", "b"),
                         test::sound(true)}));
  EXPECT_EQ(macos::notificationCommand({"Tiêu \"đề\"", "a\\b\nc", true}),
            (std::vector<std::string>{
                "/usr/bin/osascript", "-e",
                "display notification \"a\\\\b\nc\" with title \"Tiêu \\\"đề\\\"\""}));
  EXPECT_EQ(macos::soundCommand(true),
            (std::vector<std::string>{"/usr/bin/afplay", "/System/Library/Sounds/Glass.aiff"}));
  EXPECT_EQ(macos::soundCommand(false),
            (std::vector<std::string>{"/usr/bin/afplay", "/System/Library/Sounds/Basso.aiff"}));
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
