#pragma once

// The notification area as Wine's shell32 reaches it: Shell_NotifyIconW
// goes to the newest Shell_TrayWnd window as WM_COPYDATA, in Wine's own
// layout (Windows's own differs): flags at 8, szInfo at 280, szInfoTitle at
// 796, dwInfoFlags at 924.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <optional>
#include <string>

namespace tavrik::test {

struct Balloon {
  std::wstring title;
  std::wstring body;
  bool error;
};

// The balloon a WM_COPYDATA carries, if it carries one.
inline std::optional<Balloon> balloonIn(LPARAM lParam) {
  const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
  const auto* bytes = static_cast<const char*>(data->lpData);
  if (data->cbData < 928 || !(*reinterpret_cast<const UINT*>(bytes + 8) & NIF_INFO)) return {};
  const auto text = [&](std::size_t at) {
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes + at));
  };
  return Balloon{text(796), text(280),
                 (*reinterpret_cast<const DWORD*>(bytes + 924) & 3) == NIIF_ERROR};
}

// Makes this thread's Shell_TrayWnd, whose window procedure is `proc`.
inline HWND makeTray(WNDPROC proc) {
  WNDCLASSW type{};
  type.lpfnWndProc = proc;
  type.hInstance = ::GetModuleHandleW(nullptr);
  type.lpszClassName = L"Shell_TrayWnd";
  ::RegisterClassW(&type);
  return ::CreateWindowExW(0, type.lpszClassName, L"", 0, 0, 0, 0, 0, nullptr, nullptr,
                           type.hInstance, nullptr);
}

}  // namespace tavrik::test
