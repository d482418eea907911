#pragma once

// The system's own programs that tell the user, as macOS starts them (pure
// code: tested on every system).

#include <string>
#include <vector>

#include "feedback/feedback.h"
#include "platform/feedback.h"

namespace tavrik::macos {

// /usr/bin/osascript -e 'display notification "BODY" with title "TITLE"'.
inline std::vector<std::string> notificationCommand(const platform::Notice& notice) {
  return {"/usr/bin/osascript", "-e",
          "display notification " + quote(notice.body) + " with title " + quote(notice.title)};
}

// /usr/bin/afplay and the system's Glass or Basso sound.
inline std::vector<std::string> soundCommand(bool success) {
  return {"/usr/bin/afplay",
          success ? "/System/Library/Sounds/Glass.aiff" : "/System/Library/Sounds/Basso.aiff"};
}

}  // namespace tavrik::macos
