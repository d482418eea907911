// Which route serves the platform's hotkey and clipboard calls.
#include "platform/linux/routes.h"

#include <cstdlib>
#include <string>

#include "platform/hotkeys.h"
#include "platform/linux/desktop.h"
#include "platform/linux/trigger.h"
#include "platform/linux/x11.h"
#include "platform/pasteboard.h"
#include "platform/portal/global_shortcuts.h"
#include "platform/stderr.h"
#include "platform/wayland/data_control.h"

namespace tavrik {
namespace routes {
namespace {

// registerHotKey's status when the route has no way to bind anything.
constexpr std::int32_t kNoFacility = -1;

enum class HotkeyRoute { kX11, kPortal, kNone };
enum class ClipboardRoute { kX11, kDataControl };

HotkeyRoute hotkeyRoute = HotkeyRoute::kX11;
ClipboardRoute clipboardRoute = ClipboardRoute::kX11;
platform::HotKeyHandler handler = nullptr;
bool anyBound = false;

bool set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

}  // namespace

bool choose() {
  if (!set("WAYLAND_DISPLAY")) {
    (void)x11::connect(true);  // without a display both hotkeys are refused
    trigger::listen();
    return true;
  }
  std::string clipboard = "không có";
  if (const auto protocol = wayland::connect()) {
    clipboardRoute = ClipboardRoute::kDataControl;
    clipboard = "data-control (" + *protocol + ")";
  } else if (set("DISPLAY") && x11::connect(false)) {
    clipboard = "X11 qua Xwayland (DISPLAY=" + x11::displayName() + ")";
  }
  std::string hotkeys = "lệnh tavrik-agent --trigger";
  hotkeyRoute = HotkeyRoute::kNone;
  if (portal::connect()) {
    hotkeyRoute = HotkeyRoute::kPortal;
    hotkeys = "cổng GlobalShortcuts";
  }
  trigger::listen();
  platform::writeStderr("tavrik: Wayland — phím tắt: " + hotkeys + "; clipboard: " + clipboard +
                        "\n");
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

void announceHotKeys(std::span<const HotKeyRequest> all) {
  if (routes::hotkeyRoute == routes::HotkeyRoute::kPortal) portal::bindAll(all);
}

bool hotKeysUnavailable(std::int32_t status) {
  return status == routes::kNoFacility || status == portal::kNotBound;
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

std::variant<std::string, ReadFailure> readPasteboardText() {
  if (routes::clipboardRoute == routes::ClipboardRoute::kDataControl) return wayland::read();
  return x11::readClipboard();
}

bool writePasteboardText(std::string text) {
  if (routes::clipboardRoute == routes::ClipboardRoute::kDataControl) {
    return wayland::write(std::move(text));
  }
  return x11::writeClipboard(std::move(text));
}

int sendTrigger(std::string_view action) { return trigger::send(action); }

}  // namespace platform
}  // namespace tavrik
