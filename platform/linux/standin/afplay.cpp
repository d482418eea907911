// Stands in for /usr/bin/afplay on Linux: plays the one sound file named,
// the two system sounds as the freedesktop theme's, with paplay or else
// pw-play. Quiet when nothing can play; the status says so.
#include <cstdlib>
#include <string>
#include <variant>

#include "platform/standin/standin.h"
#include "platform/process.h"

using namespace tavrik;

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const auto file =
      standin::soundFileFor(argv[1], standin::dataDirsFrom(std::getenv("XDG_DATA_DIRS")));
  if (!file) return 1;
  const char* path = std::getenv("PATH");
  for (const char* player : {"paplay", "pw-play"}) {
    const auto program = standin::findProgram(player, path ? path : "");
    if (!program) continue;
    const auto run = platform::runTool(*program, {player, *file}, std::nullopt);
    const auto* exit = std::get_if<platform::ToolExit>(&run);
    if (exit && exit->status == 0) return 0;
  }
  return 1;
}
