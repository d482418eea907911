#include <string>
#include <string_view>
#include <vector>

#include "app/agent.h"
#include "platform/app.h"

int main(int argc, char** argv) {
  tavrik::platform::prepareProcess();
  // A press for the running agent, from a desktop's own shortcut binding.
  if (argc == 3 && std::string_view(argv[1]) == "--trigger") {
    return tavrik::platform::sendTrigger(argv[2]);
  }
  const std::vector<std::string> arguments(argv, argv + argc);
  return tavrik::agentMain(arguments);
}
