// Stands in for /usr/bin/osascript on Linux: takes `-e 'display
// notification <literal> with title <literal>'` and shows it with
// notify-send. Where nothing can show it, the notification goes to
// standard error as one line and the status is 1.
#include <cstdlib>
#include <string>
#include <variant>

#include "platform/standin/standin.h"
#include "platform/process.h"
#include "platform/stderr.h"

using namespace tavrik;

int main(int argc, char** argv) {
  if (argc != 3 || std::string_view(argv[1]) != "-e") {
    platform::writeStderr(
        "osascript: usage: osascript -e 'display notification \"BODY\" with title \"TITLE\"'\n");
    return 2;
  }
  const auto notification = standin::parseNotificationScript(argv[2]);
  if (!notification) {
    platform::writeStderr(std::string("osascript: cannot read script: ") + argv[2] + "\n");
    return 2;
  }
  const char* path = std::getenv("PATH");
  if (const auto notifySend = standin::findProgram("notify-send", path ? path : "")) {
    const auto run =
        platform::runTool(*notifySend, standin::notifySendArguments(*notification), std::nullopt);
    const auto* exit = std::get_if<platform::ToolExit>(&run);
    if (exit && exit->status == 0) return 0;
  }
  platform::writeStderr(standin::notificationLine(*notification));
  return 1;
}
