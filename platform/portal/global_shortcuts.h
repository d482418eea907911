#pragma once

#include <cstdint>
#include <string>

#include "platform/hotkeys.h"

// Hotkeys through org.freedesktop.portal.GlobalShortcuts on the session bus.
namespace tavrik::portal {

// True when the portal answers; the bus is then served by the event loop.
bool connect();

// Binds the hotkey as shortcut "push" (id 1) or "pull" (id 2), asking for
// the combination as the preferred trigger. Every hotkey bound so far is
// bound again with it: the portal binds a session's shortcuts as a set.
// 0 when bound; -9878 refused, -128 cancelled by the user, -1 no answer.
std::int32_t bind(std::uint32_t keyCode, std::uint32_t modifiers, platform::EventHotKeyID id);

// The portal's trigger text: CTRL, ALT, SHIFT, LOGO and an XKB key name,
// joined by "+"; empty for a key it cannot name.
std::string triggerFor(std::uint32_t keyCode, std::uint32_t modifiers);

}  // namespace tavrik::portal
