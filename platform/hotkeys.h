#pragma once

#include <cstdint>

// System-wide hotkeys: claim a key combination and deliver its presses to
// one handler on the main thread.
namespace tavrik::platform {

struct EventHotKeyID {
  std::uint32_t signature;
  std::uint32_t id;
};

// Opaque: a Carbon EventRef on macOS, a backend record elsewhere.
struct HotKeyEvent;

using HotKeyHandler = std::int32_t (*)(HotKeyEvent* event);

// Installs the one hot-key-pressed handler on the application target.
void installHotKeyHandler(HotKeyHandler handler);

// Reads the event's hotkey identifier into *out; non-zero when it cannot.
std::int32_t getHotKeyID(HotKeyEvent* event, EventHotKeyID* out);

// 0 when the combination is now ours; any other value means nothing was
// claimed (the values are the backend's own).
std::int32_t registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers, EventHotKeyID id);

}  // namespace tavrik::platform
