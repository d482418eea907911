#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tavrik {

// A parsed hotkey: a Carbon modifier mask and a macOS virtual key code.
struct HotkeySpec {
  std::uint32_t modifiers;
  std::uint32_t keyCode;
};

inline constexpr std::uint32_t kModCommand = 0x100;
inline constexpr std::uint32_t kModShift = 0x200;
inline constexpr std::uint32_t kModOption = 0x800;
inline constexpr std::uint32_t kModControl = 0x1000;

// Nothing when the text is unreadable; never reports anything itself.
std::optional<HotkeySpec> parseHotkey(std::string_view text);

}  // namespace tavrik
