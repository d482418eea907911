// Notifications and sounds by the system's own programs.
#include "platform/feedback.h"

#include "platform/macos/commands.h"
#include "platform/process.h"
#include "platform/stderr.h"

namespace tavrik::platform {
namespace {

void launch(const std::vector<std::string>& argv) {
  // Telling the user failed: the operator at least hears of it.
  if (const auto failed = spawnDetached(argv[0], argv)) {
    writeStderr("tavrik: không chạy được " + argv[0] + ": " + failed->description + "\n");
  }
}

}  // namespace

void notify(Notice notice) { launch(macos::notificationCommand(notice)); }
void playSound(bool success) { launch(macos::soundCommand(success)); }

}  // namespace tavrik::platform
