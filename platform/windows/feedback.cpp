// Notifications as balloons from the agent's own notification-area icon,
// and the system's sounds: both in the agent's process.
#include "platform/feedback.h"

#include <windows.h>
// After windows.h, which they need.
#include <mmsystem.h>
#include <shellapi.h>

#include <string>

#include "platform/queues.h"
#include "platform/stderr.h"
#include "platform/windows/feedback.h"
#include "platform/windows/text.h"
#include "platform/windows/window.h"

namespace tavrik::platform {
namespace {

constexpr UINT kIconId = 1;

// At most `units` UTF-16 units with the terminator, never half a surrogate
// pair, "…" marking a cut.
std::wstring fit(std::wstring text, std::size_t units) {
  if (text.size() < units) return text;
  std::size_t keep = units - 2;  // room for the ellipsis and the terminator
  if (keep > 0 && text[keep - 1] >= 0xD800 && text[keep - 1] <= 0xDBFF) --keep;
  return text.substr(0, keep) + L"\u2026";
}

NOTIFYICONDATAW iconOf(HWND window) {
  NOTIFYICONDATAW icon{};
  icon.cbSize = sizeof icon;
  icon.hWnd = window;
  icon.uID = kIconId;
  return icon;
}

}  // namespace

bool showBalloon(HWND window, const Notice& n) {
  NOTIFYICONDATAW icon = iconOf(window);
  icon.uFlags = NIF_INFO | NIF_ICON | NIF_TIP;
  icon.hIcon =
      ::LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(n.success ? IDI_INFORMATION : IDI_ERROR));
  // A failure shows as an error; the sound is the agent's own.
  icon.dwInfoFlags = (n.success ? NIIF_INFO : NIIF_ERROR) | NIIF_NOSOUND;
  const std::wstring title = fit(widen(n.title), std::size(icon.szInfoTitle));
  const std::wstring body = fit(widen(n.body), std::size(icon.szInfo));
  title.copy(icon.szInfoTitle, title.size());
  body.copy(icon.szInfo, body.size());
  std::wstring(L"tavrik").copy(icon.szTip, 6);
  // One icon for the agent's life: a new notice replaces the balloon shown.
  if (::Shell_NotifyIconW(NIM_MODIFY, &icon)) return true;
  if (!::Shell_NotifyIconW(NIM_ADD, &icon)) return false;
  icon.uVersion = NOTIFYICON_VERSION_4;
  ::Shell_NotifyIconW(NIM_SETVERSION, &icon);
  return true;
}

void removeNotificationIcon(HWND window) {
  NOTIFYICONDATAW icon = iconOf(window);
  ::Shell_NotifyIconW(NIM_DELETE, &icon);
}

void notify(Notice notice) {
  postMain([n = std::move(notice)] {
    if (!showBalloon(agentWindow(), n)) writeStderr(lineFor(n));
  });
}

void playSound(bool success) {
  const auto sound =
      reinterpret_cast<LPCWSTR>(success ? SND_ALIAS_SYSTEMASTERISK : SND_ALIAS_SYSTEMHAND);
  if (!::PlaySoundW(sound, nullptr, SND_ALIAS_ID | SND_ASYNC | SND_NODEFAULT)) {
    writeStderr("tavrik: không phát được âm thanh của Windows\n");
  }
}

}  // namespace tavrik::platform
