#pragma once

#include <string>
#include <vector>

#include "platform/feedback.h"

// The system's own programs that tell the user, as macOS starts them (pure
// code: tested on every system).
namespace tavrik::macos {

// /usr/bin/osascript -e 'display notification "BODY" with title "TITLE"'.
std::vector<std::string> notificationCommand(const platform::Notice& notice);

// /usr/bin/afplay and the system's Glass or Basso sound.
std::vector<std::string> soundCommand(bool success);

}  // namespace tavrik::macos
