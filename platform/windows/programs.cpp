// The notification and sound programs, beside the agent as on Linux.
#include <windows.h>

#include <string>

#include "platform/process.h"
#include "platform/programs.h"
#include "platform/windows/text.h"

namespace tavrik::platform {
namespace {

// <prefix>\libexec\tavrik\NAME.exe for the agent at <prefix>\bin\tavrik-agent.exe.
std::string besideAgent(const wchar_t* name) {
  wchar_t self[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring dir(self, n);
  dir.resize(std::min(dir.size(), dir.find_last_of(L'\\')));
  return narrow(dir + L"\\..\\libexec\\tavrik\\" + name).value_or(std::string());
}

}  // namespace

std::string notifierProgram() { return besideAgent(L"osascript.exe"); }
std::string soundProgram() { return besideAgent(L"afplay.exe"); }

std::optional<LaunchError> launchProgram(const std::string& path,
                                         const std::vector<std::string>& argv) {
  return spawnDetached(path, argv);
}

}  // namespace tavrik::platform
