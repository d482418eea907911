#pragma once

// Pure translation between Carbon hotkeys and X11 key grabs (no display).

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace tavrik::x11 {

using Keysym = std::uint32_t;

// The keysym of the key's symbol on the US layout; 0 for an unknown code.
Keysym keysymForMacKey(std::uint32_t macKeyCode);

// Which X modifier bits (Mod1..Mod5 as masks) carry Alt, Super and the two
// locks on this server; 0 where no key of that kind is mapped.
struct ModifierBits {
  std::uint16_t alt = 0;
  std::uint16_t super = 0;
  std::uint16_t numLock = 0;
  std::uint16_t scrollLock = 0;
};

// From the server's modifier mapping: 8 rows of `perModifier` keycodes
// (0 = none), and the keysyms each keycode produces.
ModifierBits findModifierBits(std::span<const std::uint8_t> keycodes, int perModifier,
                              const std::function<std::vector<Keysym>(std::uint8_t)>& keysymsOf);

// Carbon modifier mask to X modifier mask; nothing when a requested
// modifier has no bit here (no Super key mapped, say).
std::optional<std::uint16_t> xMaskFor(std::uint32_t carbonMask, const ModifierBits& bits);

// The base mask with every combination of CapsLock, NumLock and ScrollLock,
// base first and without repeats.
std::vector<std::uint16_t> lockVariants(std::uint16_t base, const ModifierBits& bits);

// A key event's state reduced to what identifies a hotkey: the locks and
// the pointer buttons removed.
std::uint16_t significantState(std::uint16_t state, const ModifierBits& bits);

}  // namespace tavrik::x11
