#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

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

struct HotKeyRequest {
  std::uint32_t keyCode;
  std::uint32_t modifiers;
  EventHotKeyID id;
};

// Every hotkey that will be registered: a facility that binds a set at
// once asks the user once, not per key. `answered` runs on the main thread
// once registerHotKey can give the facility's answers: at once, or from the
// event loop when the desktop asks the user first (the loop serves
// everything else meanwhile).
void announceHotKeys(std::span<const HotKeyRequest> all, std::function<void()> answered);

// 0 when the combination is now ours; any other value means nothing was
// claimed (the values are the backend's own).
std::int32_t registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers, EventHotKeyID id);

// True when a registerHotKey status says that this desktop offers no way
// to claim keys (or did not bind them), not that anything holds the key.
bool hotKeysUnavailable(std::int32_t status);

// Where keys cannot be claimed, a desktop's own shortcut binding can run
// `PROGRAM --trigger push|pull`: the program, or empty when this platform
// serves no triggers.
std::string triggerProgram();

// True once a trigger has arrived for this user: the bindings work.
bool triggerUsedBefore();

}  // namespace tavrik::platform
