// Which route serves the platform's hotkey and clipboard calls: chosen at
// start into one table, `chosen`, which the calls read.
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

struct HotkeyRoute {
  std::int32_t (*registerHotKey)(std::uint32_t, std::uint32_t, platform::EventHotKeyID);
  // Binds what was registered, then calls back; null: nothing to bind.
  void (*bindAll)(std::span<const platform::HotKeyRequest>, std::function<void()>);
  bool (*notBound)(std::int32_t status);
};
const HotkeyRoute kX11Keys{x11::registerHotKey, nullptr, [](std::int32_t) { return false; }};
const HotkeyRoute kPortal{
    [](std::uint32_t, std::uint32_t, platform::EventHotKeyID id) { return portal::bound(id); },
    portal::bindAll, portal::notBound};
// Only triggers: every registration is refused.
const HotkeyRoute kNoKeys{
    [](std::uint32_t, std::uint32_t, platform::EventHotKeyID) { return kNoFacility; }, nullptr,
    [](std::int32_t) { return false; }};

struct ClipboardRoute {
  std::variant<platform::PasteboardText, platform::ReadFailure> (*read)();
  bool (*write)(std::string, bool);
  void (*clearIfOurs)();
};
const ClipboardRoute kX11Clipboard{x11::readClipboard, x11::writeClipboard,
                                   x11::clearClipboardIfOurs};
const ClipboardRoute kDataControl{wayland::read, wayland::write, wayland::clearIfOurs};

// What start-up chose, and what a press may still add (a clipboard that
// could not be reached at first).
struct Chosen {
  const HotkeyRoute* hotkeys = &kX11Keys;
  const ClipboardRoute* clipboard = nullptr;
  std::string unreachable;  // why, while there is no clipboard
  platform::HotKeyHandler handler = nullptr;
  bool anyBound = false;
} chosen;

bool set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// The clipboard of a Wayland session, as the route line names it:
// data-control, else the X11 CLIPBOARD through Xwayland.
std::string connectWaylandClipboard() {
  if (const auto protocol = wayland::connect()) {
    chosen.clipboard = &kDataControl;
    return "data-control (" + *protocol + ")";
  }
  if (set("DISPLAY") && x11::connect(false)) {
    chosen.clipboard = &kX11Clipboard;
    return "X11 qua Xwayland (DISPLAY=" + x11::displayName() + ")";
  }
  chosen.unreachable =
      "trình quản lý Wayland không cho data-control, và " +
      (set("DISPLAY") ? x11::whyNotConnected() : "chưa có màn hình X (DISPLAY chưa đặt)");
  return "không có (" + chosen.unreachable + ")";
}

// At a press, a clipboard that could not be reached before is tried again
// as at start: the display may have come up since.
const ClipboardRoute* reachClipboard() {
  if (chosen.clipboard != nullptr) return chosen.clipboard;
  if (set("WAYLAND_DISPLAY")) {
    (void)connectWaylandClipboard();
  } else if (x11::connect(false)) {
    chosen.clipboard = &kX11Clipboard;
  } else {
    chosen.unreachable = x11::whyNotConnected();
  }
  return chosen.clipboard;
}

}  // namespace

bool choose() {
  // Before anything is claimed: this user's agent may already run here.
  if (!trigger::listen()) return false;
  if (!set("WAYLAND_DISPLAY")) {
    // Without a display both hotkeys are refused.
    if (x11::connect(true)) {
      chosen.clipboard = &kX11Clipboard;
    } else {
      chosen.unreachable = x11::whyNotConnected();
    }
    return true;
  }
  const std::string clipboard = connectWaylandClipboard();
  chosen.hotkeys = portal::connect() ? &kPortal : &kNoKeys;
  const std::string line = "tavrik: Wayland — phím tắt: " +
                           std::string(chosen.hotkeys == &kPortal ? "cổng GlobalShortcuts"
                                                                  : "lệnh tavrik-agent --trigger") +
                           "; clipboard: " + clipboard + "\n";
  platform::writeStderr(line);
  trigger::keep(line);
  return true;
}

void adviseIfUnbound() {
  if (chosen.anyBound || !trigger::listening()) return;
  const std::string self = platform::triggerProgram();
  platform::writeStderr("tavrik: chưa có phím tắt nào; hãy gán trong cài đặt bàn phím: " + self +
                        " --trigger push (gửi đi) và " + self + " --trigger pull (lấy về)\n");
}

void stop() {
  if (x11::connected()) x11::handOverClipboard();
  trigger::stop();
}

}  // namespace routes

namespace desktop {

void deliverPress(std::uint32_t id) {
  platform::HotKeyEvent event{{0, id}};
  if (routes::chosen.handler) routes::chosen.handler(&event);
}

}  // namespace desktop

namespace platform {

void installHotKeyHandler(HotKeyHandler h) { routes::chosen.handler = h; }

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
  if (routes::chosen.hotkeys->bindAll) {
    routes::chosen.hotkeys->bindAll(all, std::move(then));
  } else {
    then();
  }
}

bool hotKeysUnavailable(std::int32_t status) {
  return status == routes::kNoFacility || routes::chosen.hotkeys->notBound(status);
}

std::string triggerProgram() {
  if (!trigger::listening()) return {};
  std::string self = desktop::executablePath();
  return self.empty() ? "tavrik-agent" : self;
}

bool triggerUsedBefore() { return trigger::triggerUsedBefore(); }

std::int32_t registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers, EventHotKeyID id) {
  const std::int32_t status = routes::chosen.hotkeys->registerHotKey(keyCode, modifiers, id);
  if (status == 0) routes::chosen.anyBound = true;
  return status;
}

std::variant<PasteboardText, ReadFailure> readPasteboardText() {
  const auto* clipboard = routes::reachClipboard();
  return clipboard ? clipboard->read() : ReadFailure::kUnreachable;
}

bool writePasteboardText(std::string text, bool secret) {
  const auto* clipboard = routes::reachClipboard();
  return clipboard && clipboard->write(std::move(text), secret);
}

void clearPasteboardIfOurs() {
  if (routes::chosen.clipboard) routes::chosen.clipboard->clearIfOurs();
}

std::string whyClipboardUnreachable() {
  return routes::chosen.clipboard ? "" : routes::chosen.unreachable;
}

std::string_view pasteKeys() { return "Ctrl+V"; }

int sendTrigger(std::string_view action) { return trigger::send(action); }

void keepForStatus(std::string_view line) { trigger::keep(line); }

}  // namespace platform
}  // namespace tavrik
