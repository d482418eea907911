// The notification and sound programs, beside the agent.
#include <windows.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "platform/feedback.h"
#include "platform/macos/commands.h"
#include "platform/process.h"
#include "platform/stderr.h"
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

// The notice and the sound as macOS's programs take them, for the programs
// beside the agent that show and play them here.
void launch(std::vector<std::string> argv, const wchar_t* name) {
  argv[0] = besideAgent(name);
  if (const auto failed = spawnDetached(argv[0], argv)) {
    writeStderr("tavrik: không chạy được " + argv[0] + ": " + failed->description + "\n");
  }
}

}  // namespace

void notify(Notice notice) { launch(macos::notificationCommand(notice), L"osascript.exe"); }
void playSound(bool success) { launch(macos::soundCommand(success), L"afplay.exe"); }

}  // namespace tavrik::platform
