// Stands in for osascript on Windows: takes `-e 'display notification
// <literal> with title <literal>'` and shows it as a balloon from a tray
// icon, removed once it has shown. Where none can be shown, the
// notification goes to standard error as one line and the status is 1.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <string>

#include "platform/standin/standin.h"
#include "platform/stderr.h"
#include "platform/windows/text.h"

using namespace tavrik;

namespace {

// How long the balloon may stay before the icon goes.
constexpr UINT kShown = 10000;
constexpr UINT kIconMessage = WM_APP;

// At most `units` UTF-16 units, never half a surrogate pair, "…" marking a cut.
std::wstring fit(std::wstring text, std::size_t units) {
  if (text.size() < units) return text;
  std::size_t keep = units - 2;  // room for the ellipsis and the terminator
  if (keep > 0 && text[keep - 1] >= 0xD800 && text[keep - 1] <= 0xDBFF) --keep;
  return text.substr(0, keep) + L"\u2026";
}

LRESULT CALLBACK onMessage(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kIconMessage) {
    const UINT event = LOWORD(lParam);
    if (event == NIN_BALLOONTIMEOUT || event == NIN_BALLOONUSERCLICK || event == NIN_BALLOONHIDE) {
      ::PostQuitMessage(0);
    }
    return 0;
  }
  if (message == WM_TIMER) {
    ::PostQuitMessage(0);
    return 0;
  }
  return ::DefWindowProcW(w, message, wParam, lParam);
}

bool showBalloon(const standin::Notification& n) {
  WNDCLASSW type{};
  type.lpfnWndProc = onMessage;
  type.hInstance = ::GetModuleHandleW(nullptr);
  type.lpszClassName = L"TavrikNotification";
  ::RegisterClassW(&type);
  HWND window = ::CreateWindowExW(0, type.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  type.hInstance, nullptr);
  if (window == nullptr) return false;
  NOTIFYICONDATAW icon{};
  icon.cbSize = sizeof icon;
  icon.hWnd = window;
  icon.uID = 1;
  icon.uFlags = NIF_INFO | NIF_MESSAGE | NIF_ICON | NIF_TIP;
  icon.uCallbackMessage = kIconMessage;
  icon.hIcon = ::LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_INFORMATION));
  icon.dwInfoFlags = NIIF_INFO;
  const std::wstring title = fit(platform::widen(n.title), std::size(icon.szInfoTitle));
  const std::wstring body = fit(platform::widen(n.body), std::size(icon.szInfo));
  title.copy(icon.szInfoTitle, title.size());
  body.copy(icon.szInfo, body.size());
  std::wstring(L"tavrik").copy(icon.szTip, 6);
  if (!::Shell_NotifyIconW(NIM_ADD, &icon)) return false;
  icon.uVersion = NOTIFYICON_VERSION_4;
  ::Shell_NotifyIconW(NIM_SETVERSION, &icon);
  ::SetTimer(window, 1, kShown, nullptr);
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
  ::Shell_NotifyIconW(NIM_DELETE, &icon);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const auto script = argc == 3 ? platform::narrow(argv[2]) : std::nullopt;
  if (argc != 3 || std::wstring(argv[1]) != L"-e" || !script) {
    platform::writeStderr(
        "osascript: usage: osascript -e 'display notification \"BODY\" with title \"TITLE\"'\n");
    return 2;
  }
  const auto notification = standin::parseNotificationScript(*script);
  if (!notification) {
    platform::writeStderr("osascript: cannot read script: " + *script + "\n");
    return 2;
  }
  if (showBalloon(*notification)) return 0;
  platform::writeStderr(standin::notificationLine(*notification));
  return 1;
}
