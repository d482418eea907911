// The notification and sound programs, beside the agent as on Linux.
#include <windows.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "platform/process.h"
#include "platform/programs.h"
#include "platform/windows/programs.h"
#include "platform/windows/text.h"

namespace tavrik::platform {

std::wstring ownPath() {
  wchar_t self[MAX_PATH];
  return std::wstring(self, ::GetModuleFileNameW(nullptr, self, MAX_PATH));
}

std::wstring ownDirectory() {
  std::wstring dir = ownPath();
  dir.resize(std::min(dir.size(), dir.find_last_of(L'\\')));
  return dir;
}

std::optional<std::wstring> nodeOnPath() {
  wchar_t path[32767];
  const DWORD length = ::GetEnvironmentVariableW(L"PATH", path, std::size(path));
  if (length == 0 || length >= std::size(path)) return std::nullopt;
  wchar_t node[MAX_PATH];
  const DWORD found = ::SearchPathW(path, L"node.exe", nullptr, MAX_PATH, node, nullptr);
  if (found == 0 || found >= MAX_PATH) return std::nullopt;
  return std::wstring(node, found);
}

namespace {

// <prefix>\libexec\tavrik\NAME.exe for the agent at <prefix>\bin\tavrik-agent.exe.
std::string besideAgent(const wchar_t* name) {
  return narrow(ownDirectory() + L"\\..\\libexec\\tavrik\\" + name).value_or(std::string());
}

}  // namespace

std::string notifierProgram() { return besideAgent(L"osascript.exe"); }
std::string soundProgram() { return besideAgent(L"afplay.exe"); }

std::optional<LaunchError> launchProgram(const std::string& path,
                                         const std::vector<std::string>& argv) {
  return spawnDetached(path, argv);
}

}  // namespace tavrik::platform
