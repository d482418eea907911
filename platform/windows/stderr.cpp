#include "platform/stderr.h"

#include <windows.h>

#include <string>

namespace tavrik::platform {
namespace {

// Windows gives a program started at login no standard error: its lines go
// to %LOCALAPPDATA%\tavrik\tavrik-agent.log instead.
HANDLE logFile() {
  wchar_t base[MAX_PATH];
  const DWORD n = ::GetEnvironmentVariableW(L"LOCALAPPDATA", base, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return INVALID_HANDLE_VALUE;
  const std::wstring dir = std::wstring(base, n) + L"\\tavrik";
  ::CreateDirectoryW(dir.c_str(), nullptr);
  return ::CreateFileW((dir + L"\\tavrik-agent.log").c_str(), FILE_APPEND_DATA,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

void writeStdout(std::string_view message) {
  // Started from a console or with a pipe: there is a handle; else nothing.
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  while (out != nullptr && out != INVALID_HANDLE_VALUE && !message.empty()) {
    DWORD n = 0;
    if (!::WriteFile(out, message.data(), static_cast<DWORD>(message.size()), &n, nullptr)) break;
    message.remove_prefix(n);
  }
}

void writeStderr(std::string_view message) {
  HANDLE out = ::GetStdHandle(STD_ERROR_HANDLE);
  const bool own =
      out == nullptr || out == INVALID_HANDLE_VALUE || ::GetFileType(out) == FILE_TYPE_UNKNOWN;
  if (own) out = logFile();
  if (out == INVALID_HANDLE_VALUE) return;
  // One write request; only a short write loops.
  while (!message.empty()) {
    DWORD n = 0;
    if (!::WriteFile(out, message.data(), static_cast<DWORD>(message.size()), &n, nullptr)) break;
    message.remove_prefix(n);
  }
  if (own) ::CloseHandle(out);
}

}  // namespace tavrik::platform
