#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/hotkeys.h"

// Hotkeys through org.freedesktop.portal.GlobalShortcuts on the session bus.
namespace tavrik::portal {

// True when the portal answers; the bus is then served by the event loop.
bool connect();

// The status of a shortcut that the portal answered for but did not bind
// (KDE before Plasma 6.1 binds only what the session was created with).
inline constexpr std::int32_t kNotBound = -9880;

// Binds all the hotkeys, as shortcuts "push" (id 1) and "pull" (id 2) with
// their combinations as the preferred triggers, in one request (one
// confirmation for the user). They are declared at CreateSession too.
void bindAll(std::span<const platform::HotKeyRequest> all);

// After bindAll: 0 when the portal's answer lists the shortcut as bound;
// kNotBound when it does not; -9878 refused, -128 cancelled by the user,
// -9879 a key the portal cannot name, -1 no answer (or no portal).
std::int32_t bound(platform::EventHotKeyID id);

// The portal's trigger text: CTRL, ALT, SHIFT, LOGO and an XKB key name,
// joined by "+"; empty for a key it cannot name.
std::string triggerFor(std::uint32_t keyCode, std::uint32_t modifiers);

}  // namespace tavrik::portal
