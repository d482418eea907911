#pragma once

// State shared by the parts of the X11 backend. Everything here runs on
// the main thread, except postMain.

#include <xcb/xcb.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>

#include "platform/hotkeys.h"
#include "platform/linux/incr.h"
#include "platform/pasteboard.h"

namespace tavrik::x11 {

struct Atoms {
  xcb_atom_t clipboard = 0;
  xcb_atom_t targets = 0;
  xcb_atom_t utf8String = 0;
  xcb_atom_t text = 0;
  xcb_atom_t timestamp = 0;
  xcb_atom_t multiple = 0;
  xcb_atom_t incr = 0;
  xcb_atom_t atomPair = 0;
  xcb_atom_t textPlainUtf8 = 0;  // text/plain;charset=utf-8
  xcb_atom_t textPlain = 0;
  xcb_atom_t clipboardManager = 0;
  xcb_atom_t saveTargets = 0;
  xcb_atom_t selection = 0;   // where conversions for us land
  xcb_atom_t clock = 0;       // touched to learn the server time
  xcb_atom_t secretHint = 0;  // a password manager's mark
};

// The display connection, made once by makeApplication.
struct Display {
  xcb_connection_t* c = nullptr;
  xcb_window_t root = 0;
  xcb_window_t window = 0;  // ours: unmapped, owns the selection
  Atoms atoms;
  std::uint8_t xkbEventBase = 0;
  bool xkb = false;
};

extern Display display;

inline bool connected() { return display.c != nullptr; }

// Connects to $DISPLAY for the clipboard and, when asked, the hotkeys;
// false, told on standard error, when there is no display.
bool connect(bool withHotkeys);
std::string displayName();
// After a failed connect: why, in the user's words.
std::string whyNotConnected();

// The X routes behind the platform's hotkey and clipboard calls.
std::int32_t registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers,
                            platform::EventHotKeyID id);
std::variant<platform::PasteboardText, platform::ReadFailure> readClipboard();
bool writeClipboard(std::string text, bool secret);
void clearClipboardIfOurs();

Millis monotonicMillis();

// Waits until `match` accepts an event or the deadline passes; returns the
// event (free() it) or null. Meanwhile selection traffic is served and key
// events are kept for the event loop, so nothing is lost or reordered.
xcb_generic_event_t* waitForEvent(const std::function<bool(const xcb_generic_event_t*)>& match,
                                  Millis deadline);

// Parts of the backend, called by the event loop.
void setUpHotkeys();
void setUpClipboard();
void dispatchKeyEvent(const xcb_generic_event_t* event);
void keyboardChanged();
bool dispatchSelectionEvent(const xcb_generic_event_t* event);
void expireTransfers(Millis now);
// At exit: a clipboard manager, if one runs, takes a copy of our text.
void handOverClipboard();
std::optional<Millis> transferDeadline();

}  // namespace tavrik::x11
