#pragma once

#include <cstdint>
#include <optional>

namespace tavrik::platform {

// A hotkey as RegisterHotKey takes it.
struct WindowsHotkey {
  unsigned modifiers;   // MOD_*
  unsigned virtualKey;  // VK_*
};

// From the hotkey table's Mac key code and Carbon modifier bits; nothing for
// a key the table does not have.
std::optional<WindowsHotkey> windowsHotkey(std::uint32_t keyCode, std::uint32_t modifiers);

}  // namespace tavrik::platform
