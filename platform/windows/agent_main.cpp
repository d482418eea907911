// The agent's entry on Windows: arguments come in UTF-16. A GUI program,
// so that no console window flashes up at login.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/agent.h"
#include "platform/app.h"
#include "platform/stderr.h"
#include "platform/windows/programs.h"
#include "platform/windows/text.h"

int wmain(int argc, wchar_t** argv) {
  tavrik::platform::prepareProcess();
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) {
    arguments.push_back(tavrik::platform::narrow(argv[i]).value_or(std::string()));
  }
  // A press for the running agent, from a desktop's own shortcut binding.
  if (argc == 3 && arguments[1] == "--trigger") return tavrik::platform::sendTrigger(arguments[2]);
  // No /usr/bin/env here: Node is the node.exe on PATH, unless --node says
  // otherwise; saying which, as the user did not.
  if (std::find(arguments.begin(), arguments.end(), "--node") == arguments.end()) {
    if (const auto node = tavrik::platform::nodeOnPath()) {
      const std::string chosen = tavrik::platform::narrow(*node).value_or("");
      arguments.insert(arguments.begin() + 1, {"--node", chosen});
      tavrik::platform::writeStderr("tavrik: node: " + chosen + " (tìm thấy trên PATH)\n");
    }
  }
  return tavrik::agentMain(arguments);
}
