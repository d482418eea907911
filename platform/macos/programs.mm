// The system's own notification and sound programs.
#include "platform/programs.h"
#include "platform/process.h"

namespace tavrik::platform {

std::string notifierProgram() { return "/usr/bin/osascript"; }
std::string soundProgram() { return "/usr/bin/afplay"; }

std::optional<LaunchError> launchProgram(const std::string& path,
                                         const std::vector<std::string>& argv) {
  return spawnDetached(path, argv);
}

}  // namespace tavrik::platform
