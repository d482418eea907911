#include <gtest/gtest.h>

#include "feedback/feedback.h"
#include "platform/standin/standin.h"

namespace tavrik::standin {
namespace {

std::string script(std::string_view title, std::string_view body) {
  return "display notification " + quote(body) + " with title " + quote(title);
}

TEST(NotificationScript, ReadsBackWhatQuoteWroteAndNothingElse) {
  const std::pair<std::string, std::string> texts[] = {
      {"", "\\\""}, {"say \"hi\"", "C:\\path\\"}, {"\" with title \"fake", "line 1\nline 2\r\n"}};
  for (const auto& [title, body] : texts) {
    EXPECT_EQ(parseNotificationScript(script(title, body)), (Notification{title, body}));
  }
  for (const char* s : {
           "display notification \"b\"",
           "display notification \"b\" with title \"t\" ",
           "display notification \"b\\n\" with title \"t\"",  // an escape the agent never writes
           "display notification \"b\\\" with title \"t\"",
           "display notification b with title \"t\"",
           "Display notification \"b\" with title \"t\"",
       }) {
    EXPECT_FALSE(parseNotificationScript(s).has_value()) << s;
  }
}

TEST(NotificationScript, NotifySendGetsPlainTitleAndMarkupBody) {
  EXPECT_EQ(notifySendArguments({"<T & T>", "a <b> & c\nd"}),
            (std::vector<std::string>{"notify-send", "--app-name=tavrik", "--", "<T & T>",
                                      "a &lt;b&gt; &amp; c\nd"}));
  EXPECT_EQ(notificationLine({"Tiêu đề", "dòng 1\ndòng 2"}), "tavrik: [Tiêu đề] dòng 1 dòng 2\n");
}

}  // namespace
}  // namespace tavrik::standin
