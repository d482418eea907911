// Which route serves the platform's hotkey and clipboard calls.
#include "platform/linux/routes.h"

#include <cstdlib>
#include <string>

#include "platform/hotkeys.h"
#include "platform/linux/desktop.h"
#include "platform/linux/portal/global_shortcuts.h"
#include "platform/linux/trigger.h"
#include "platform/linux/wayland/data_control.h"
#include "platform/linux/x11.h"
#include "platform/pasteboard.h"
#include "platform/stderr.h"

namespace tavrik {
namespace routes {
namespace {

// registerHotKey's status when the route has no way to bind anything.
constexpr std::int32_t kNoFacility = -1;

enum class HotkeyRoute { kX11, kPortal, kNone };
enum class ClipboardRoute { kNone, kX11, kDataControl };

HotkeyRoute hotkeyRoute = HotkeyRoute::kX11;
ClipboardRoute clipboardRoute = ClipboardRoute::kNone;
std::string unreachable;  // why, while there is no clipboard route
platform::HotKeyHandler handler = nullptr;
bool anyBound = false;

bool set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// The clipboard of a Wayland session, as the route line names it:
// data-control, else the X11 CLIPBOARD through Xwayland.
std::string connectWaylandClipboard() {
  if (const auto protocol = wayland::connect()) {
    clipboardRoute = ClipboardRoute::kDataControl;
    return "data-control (" + *protocol + ")";
  }
  if (set("DISPLAY") && x11::connect(false)) {
    clipboardRoute = ClipboardRoute::kX11;
    return "X11 qua Xwayland (DISPLAY=" + x11::displayName() + ")";
  }
  unreachable = "trình quản lý Wayland không cho data-control, và " +
                (set("DISPLAY") ? x11::whyNotConnected() : "chưa có màn hình X (DISPLAY chưa đặt)");
  return "không có (" + unreachable + ")";
}

// At a press, a clipboard that could not be reached before is tried again
// as at start: the display may have come up since.
bool reachClipboard() {
  if (clipboardRoute != ClipboardRoute::kNone) return true;
  if (set("WAYLAND_DISPLAY")) {
    (void)connectWaylandClipboard();
  } else if (x11::connect(false)) {
    clipboardRoute = ClipboardRoute::kX11;
  } else {
    unreachable = x11::whyNotConnected();
  }
  return clipboardRoute != ClipboardRoute::kNone;
}

}  // namespace

bool choose() {
  // Before anything is claimed: this user's agent may already run here.
  if (!trigger::listen()) return false;
  if (!set("WAYLAND_DISPLAY")) {
    // Without a display both hotkeys are refused.
    if (x11::connect(true)) {
      clipboardRoute = ClipboardRoute::kX11;
    } else {
      unreachable = x11::whyNotConnected();
    }
    return true;
  }
  const std::string clipboard = connectWaylandClipboard();
  std::string hotkeys = "lệnh tavrik-agent --trigger";
  hotkeyRoute = HotkeyRoute::kNone;
  if (portal::connect()) {
    hotkeyRoute = HotkeyRoute::kPortal;
    hotkeys = "cổng GlobalShortcuts";
  }
  const std::string line =
      "tavrik: Wayland — phím tắt: " + hotkeys + "; clipboard: " + clipboard + "\n";
  platform::writeStderr(line);
  trigger::keep(line);
  return true;
}

void adviseIfUnbound() {
  if (anyBound || !trigger::listening()) return;
  const std::string self = platform::triggerProgram();
  platform::writeStderr("tavrik: chưa có phím tắt nào; hãy gán trong cài đặt bàn phím: " + self +
                        " --trigger push (gửi đi) và " + self + " --trigger pull (lấy về)\n");
}

}  // namespace routes

namespace desktop {

void deliverPress(std::uint32_t id) {
  platform::HotKeyEvent event{{0, id}};
  if (routes::handler) routes::handler(&event);
}

}  // namespace desktop

namespace platform {

void installHotKeyHandler(HotKeyHandler h) { routes::handler = h; }

std::int32_t getHotKeyID(HotKeyEvent* event, EventHotKeyID* out) {
  if (!event->readable) return -9870;  // as Carbon's eventParameterNotFoundErr
  *out = event->id;
  return 0;
}

void announceHotKeys(std::span<const HotKeyRequest> all, std::function<void()> answered) {
  auto then = [answered = std::move(answered)] {
    answered();
    routes::adviseIfUnbound();
  };
  if (routes::hotkeyRoute == routes::HotkeyRoute::kPortal) {
    portal::bindAll(all, std::move(then));
  } else {
    then();
  }
}

bool hotKeysUnavailable(std::int32_t status) {
  return status == routes::kNoFacility ||
         (routes::hotkeyRoute == routes::HotkeyRoute::kPortal && portal::notBound(status));
}

std::string triggerProgram() {
  if (!trigger::listening()) return {};
  std::string self = desktop::executablePath();
  return self.empty() ? "tavrik-agent" : self;
}

bool triggerUsedBefore() { return trigger::triggerUsedBefore(); }

std::int32_t registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers, EventHotKeyID id) {
  std::int32_t status = routes::kNoFacility;
  switch (routes::hotkeyRoute) {
    case routes::HotkeyRoute::kX11:
      status = x11::registerHotKey(keyCode, modifiers, id);
      break;
    case routes::HotkeyRoute::kPortal:
      status = portal::bound(id);
      break;
    case routes::HotkeyRoute::kNone:
      break;
  }
  if (status == 0) routes::anyBound = true;
  return status;
}

std::variant<PasteboardText, ReadFailure> readPasteboardText() {
  if (!routes::reachClipboard()) return ReadFailure::kUnreachable;
  if (routes::clipboardRoute == routes::ClipboardRoute::kDataControl) return wayland::read();
  return x11::readClipboard();
}

bool writePasteboardText(std::string text, bool secret) {
  if (!routes::reachClipboard()) return false;
  if (routes::clipboardRoute == routes::ClipboardRoute::kDataControl) {
    return wayland::write(std::move(text), secret);
  }
  return x11::writeClipboard(std::move(text), secret);
}

void clearPasteboardIfOurs() {
  if (routes::clipboardRoute == routes::ClipboardRoute::kDataControl) {
    wayland::clearIfOurs();
  } else if (routes::clipboardRoute == routes::ClipboardRoute::kX11) {
    x11::clearClipboardIfOurs();
  }
}

std::string whyClipboardUnreachable() {
  return routes::clipboardRoute == routes::ClipboardRoute::kNone ? routes::unreachable : "";
}

std::string_view pasteKeys() { return "Ctrl+V"; }

int sendTrigger(std::string_view action) { return trigger::send(action); }

void keepForStatus(std::string_view line) { trigger::keep(line); }

}  // namespace platform
}  // namespace tavrik
