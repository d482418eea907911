// Global hotkeys as passive key grabs on the root window.
//
// registerHotKey statuses:
//    0      the combination is ours
//   -1      no X display
//   -9878   another X client holds the combination, or the agent already
//           registered it (as Carbon's eventHotKeyExistsErr)
//   -9879   the key or a modifier (Alt, Super) has no key on this keyboard,
//           or the server refused the grab for another reason
#include <xcb/xcb_keysyms.h>
#include "platform/linux/xcb_xkb.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/hotkeys.h"
#include "platform/linux/desktop.h"
#include "platform/linux/keymap.h"
#include "platform/linux/x11.h"

namespace tavrik {
namespace x11 {
namespace {

constexpr std::int32_t kNoDisplay = -1;
constexpr std::int32_t kHeld = -9878;
constexpr std::int32_t kInvalid = -9879;

struct Grab {
  std::uint8_t keycode;
  std::uint16_t mask;
  bool operator==(const Grab&) const = default;
};

struct HotKey {
  platform::EventHotKeyID id;
  std::uint32_t macKeyCode;
  std::uint32_t carbonMask;
  std::vector<std::uint8_t> keycodes;
  std::uint16_t mask = 0;
  bool down = false;  // pressed and not yet released: repeats are ignored
};

struct Keyboard {
  xcb_key_symbols_t* symbols = nullptr;
  ModifierBits bits;
};

Keyboard keyboard;
std::vector<HotKey> hotkeys;

void loadKeyboard() {
  if (keyboard.symbols) xcb_key_symbols_free(keyboard.symbols);
  keyboard.symbols = xcb_key_symbols_alloc(display.c);
  keyboard.bits = {};
  auto* reply =
      xcb_get_modifier_mapping_reply(display.c, xcb_get_modifier_mapping(display.c), nullptr);
  if (!reply) return;
  const std::span<const std::uint8_t> codes(
      xcb_get_modifier_mapping_keycodes(reply),
      static_cast<std::size_t>(xcb_get_modifier_mapping_keycodes_length(reply)));
  keyboard.bits = findModifierBits(codes, reply->keycodes_per_modifier, [](std::uint8_t code) {
    std::vector<Keysym> syms;
    for (int col = 0; col < 4; ++col) {
      if (const auto s = xcb_key_symbols_get_keysym(keyboard.symbols, code, col)) syms.push_back(s);
    }
    return syms;
  });
  std::free(reply);
}

std::vector<std::uint8_t> keycodesFor(Keysym sym) {
  std::vector<std::uint8_t> out;
  if (sym == 0) return out;
  xcb_keycode_t* codes = xcb_key_symbols_get_keycode(keyboard.symbols, sym);
  for (auto* p = codes; p && *p != XCB_NO_SYMBOL; ++p) {
    if (std::find(out.begin(), out.end(), *p) == out.end()) out.push_back(*p);
  }
  std::free(codes);
  return out;
}

std::vector<Grab> grabsOf(const HotKey& h) {
  std::vector<Grab> grabs;
  for (const auto code : h.keycodes) {
    for (const auto mask : lockVariants(h.mask, keyboard.bits)) grabs.push_back({code, mask});
  }
  return grabs;
}

void ungrab(const std::vector<Grab>& grabs) {
  for (const auto& g : grabs) xcb_ungrab_key(display.c, g.keycode, display.root, g.mask);
}

// Checked grabs of every variant; on any refusal nothing stays grabbed.
std::int32_t grab(const HotKey& h) {
  const auto grabs = grabsOf(h);
  std::vector<xcb_void_cookie_t> cookies;
  for (const auto& g : grabs) {
    cookies.push_back(xcb_grab_key_checked(display.c, 1, display.root, g.mask, g.keycode,
                                           XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
  }
  std::int32_t status = 0;
  std::vector<Grab> taken;
  for (std::size_t i = 0; i < cookies.size(); ++i) {
    if (auto* error = xcb_request_check(display.c, cookies[i])) {
      if (status == 0) status = error->error_code == XCB_ACCESS ? kHeld : kInvalid;
      std::free(error);
    } else {
      taken.push_back(grabs[i]);
    }
  }
  if (status != 0) ungrab(taken);
  return status;
}

// Fills keycodes and mask for the current keyboard; false if it cannot.
bool resolve(HotKey& h) {
  h.keycodes = keycodesFor(keysymForMacKey(h.macKeyCode));
  const auto mask = xMaskFor(h.carbonMask, keyboard.bits);
  h.mask = mask.value_or(0);
  return mask && !h.keycodes.empty();
}

}  // namespace

void setUpHotkeys() {
  auto* xkb = xcb_xkb_use_extension_reply(
      display.c, xcb_xkb_use_extension(display.c, XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION),
      nullptr);
  const auto* ext = xcb_get_extension_data(display.c, &xcb_xkb_id);
  if (xkb && xkb->supported && ext && ext->present) {
    display.xkb = true;
    display.xkbEventBase = ext->first_event;
    // A held key repeats as presses only, with no release in between.
    const std::uint32_t detectable = XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT;
    std::free(
        xcb_xkb_per_client_flags_reply(display.c,
                                       xcb_xkb_per_client_flags(display.c, XCB_XKB_ID_USE_CORE_KBD,
                                                                detectable, detectable, 0, 0, 0),
                                       nullptr));
    const std::uint16_t events =
        XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY;
    xcb_xkb_select_events(display.c, XCB_XKB_ID_USE_CORE_KBD, events, 0, events, 0xFF, 0xFF,
                          nullptr);
  }
  std::free(xkb);
  loadKeyboard();
}

void dispatchKeyEvent(const xcb_generic_event_t* event) {
  const auto* key = reinterpret_cast<const xcb_key_press_event_t*>(event);
  const bool press = (event->response_type & 0x7F) == XCB_KEY_PRESS;
  for (auto& h : hotkeys) {
    if (std::find(h.keycodes.begin(), h.keycodes.end(), key->detail) == h.keycodes.end()) continue;
    if (!press) {
      h.down = false;  // whatever the modifiers are by now
      continue;
    }
    if (significantState(key->state, keyboard.bits) != h.mask || h.down) continue;
    h.down = true;
    desktop::deliverPress(h.id.id);
    return;
  }
}

void keyboardChanged() {
  for (auto& h : hotkeys) ungrab(grabsOf(h));
  loadKeyboard();
  for (auto& h : hotkeys) {
    h.down = false;
    if (resolve(h)) (void)grab(h);
  }
  xcb_flush(display.c);
}

std::int32_t registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers,
                            platform::EventHotKeyID id) {
  if (!connected()) return kNoDisplay;
  HotKey h{id, keyCode, modifiers, {}, 0, false};
  if (!resolve(h)) return kInvalid;
  // X lets a client grab its own combination twice; Carbon does not.
  const auto wanted = grabsOf(h);
  for (const auto& other : hotkeys) {
    for (const auto& g : grabsOf(other)) {
      if (std::find(wanted.begin(), wanted.end(), g) != wanted.end()) return kHeld;
    }
  }
  if (const auto status = grab(h); status != 0) return status;
  hotkeys.push_back(std::move(h));
  return 0;
}

}  // namespace x11
}  // namespace tavrik
