// Where the agent is, and the Node it runs.
#include <windows.h>

#include <algorithm>
#include <iterator>
#include <string>

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

}  // namespace tavrik::platform
