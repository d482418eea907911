#include <unistd.h>

#include <algorithm>
#include <climits>
#include <string>

#include "platform/linux/desktop.h"
#include "platform/process.h"
#include "platform/programs.h"

namespace tavrik {

std::string desktop::executablePath() {
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  return n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
}

namespace platform {
namespace {

// <prefix>/libexec/tavrik/NAME for the agent at <prefix>/bin/tavrik-agent.
std::string besideAgent(const char* name) {
  std::string dir = desktop::executablePath();
  dir.resize(std::min(dir.size(), dir.rfind('/')));  // npos leaves it whole
  return dir + "/../libexec/tavrik/" + name;
}

}  // namespace

std::string notifierProgram() { return besideAgent("osascript"); }
std::string soundProgram() { return besideAgent("afplay"); }

std::optional<LaunchError> launchProgram(const std::string& path,
                                         const std::vector<std::string>& argv) {
  return spawnDetached(path, argv);
}

}  // namespace platform
}  // namespace tavrik
