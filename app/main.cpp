#include <string>
#include <vector>

#include "app/agent.h"
#include "platform/app.h"

int main(int argc, char** argv) {
  tavrik::platform::prepareProcess();
  const std::vector<std::string> arguments(argv, argv + argc);
  return tavrik::agentMain(arguments);
}
