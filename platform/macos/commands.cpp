#include "platform/macos/commands.h"

#include "feedback/feedback.h"

namespace tavrik::macos {

std::vector<std::string> notificationCommand(const platform::Notice& notice) {
  return {"/usr/bin/osascript", "-e",
          "display notification " + quote(notice.body) + " with title " + quote(notice.title)};
}

std::vector<std::string> soundCommand(bool success) {
  return {"/usr/bin/afplay",
          success ? "/System/Library/Sounds/Glass.aiff" : "/System/Library/Sounds/Basso.aiff"};
}

}  // namespace tavrik::macos
