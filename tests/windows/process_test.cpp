// Runs under Wine: the runner's contract against tests/harness/windows_tool.cpp.
#include <string>
#include <vector>

#include "platform/windows/programs.h"
#include "platform/windows/text.h"
#include "tests/contract/runner_contract.h"

namespace tavrik::test {

Command contractCommand(const std::string& name, const std::vector<std::string>& args) {
  const std::string tool = *platform::narrow(platform::ownDirectory() + L"\\tool.exe");
  std::vector<std::string> argv{tool, name};
  argv.insert(argv.end(), args.begin(), args.end());
  return {tool, argv};
}
const char* const kMissingProgram = "C:\\nonexistent\\node.exe";

}  // namespace tavrik::test
