#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "platform/hotkeys.h"

// Hotkeys through org.freedesktop.portal.GlobalShortcuts on the session bus.
namespace tavrik::portal {

// The application id the agent asks the desktops to know it by.
inline constexpr std::string_view kAppId = "vn.tavrik.agent";

// True when the portal answers; the bus is then served by the event loop.
// Where the portal keeps a registry of host applications, the agent names
// itself there first.
bool connect();

// bound()'s statuses besides 0 and -9879 (a key the portal cannot name):
// no answer, or no portal;
inline constexpr std::int32_t kNoAnswer = -1;
// the user declined;
inline constexpr std::int32_t kCancelled = -128;
// the portal refused (GNOME 48 refuses a caller without a valid
// application id), or the request failed;
inline constexpr std::int32_t kRefused = -9881;
// answered, but did not list the shortcut as bound (KDE before Plasma 6.1
// binds only what the session was created with).
inline constexpr std::int32_t kNotBound = -9880;

// True for a status that says the portal did not bind, as opposed to a key
// it cannot name: nothing else holds the key.
constexpr bool notBound(std::int32_t status) {
  return status == kNoAnswer || status == kCancelled || status == kRefused || status == kNotBound;
}

// Binds all the hotkeys, as shortcuts "push" (id 1) and "pull" (id 2) with
// their combinations as the preferred triggers, declared at CreateSession
// too. What the portal already lists, with the triggers last asked for, is
// not asked for again (no dialog at every login); the rest in one request
// (one confirmation). Returns at once; `answered` runs from the event loop
// when the portal has answered or its time is up, and the loop serves
// everything else meanwhile. A shortcut is bound when an answer lists it,
// whatever the answer's code.
void bindAll(std::span<const platform::HotKeyRequest> all, std::function<void()> answered);

// After `answered`: 0 when bound, else one of the statuses above.
std::int32_t bound(platform::EventHotKeyID id);

// The portal's trigger text: CTRL, ALT, SHIFT, LOGO and an XKB key name,
// joined by "+"; empty for a key it cannot name.
std::string triggerFor(std::uint32_t keyCode, std::uint32_t modifiers);

// The application id a portal gives a process running in systemd unit
// `unit` (app-[LAUNCHER-]ID[@X].service, app-[LAUNCHER-]ID-N.scope): empty
// when the name carries none (an id has at least three dot-separated parts).
std::string appIdOfUnit(std::string_view unit);

}  // namespace tavrik::portal
