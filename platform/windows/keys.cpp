#include "platform/windows/keys.h"

#include <windows.h>

#include <string>
#include <string_view>

#include "hotkeys/hotkey_spec.h"
#include "hotkeys/key_codes.h"

namespace tavrik::platform {

std::optional<WindowsHotkey> windowsHotkey(std::uint32_t keyCode, std::uint32_t modifiers) {
  std::string_view name;
  for (const auto& k : keyCodes) {
    if (k.code == keyCode) name = k.name;
  }
  if (name.empty()) return std::nullopt;
  unsigned vk = 0;
  if (name.size() == 1) {
    vk = static_cast<unsigned>(name[0] >= 'a' ? name[0] - 'a' + 'A'
                                              : name[0]);  // 'A'..'Z', '0'..'9'
  } else if (name == "return") {
    vk = VK_RETURN;
  } else if (name == "tab") {
    vk = VK_TAB;
  } else if (name == "space") {
    vk = VK_SPACE;
  } else if (name == "escape") {
    vk = VK_ESCAPE;
  } else {
    vk = VK_F1 + static_cast<unsigned>(std::stoi(std::string(name.substr(1)))) - 1;  // f1..f12
  }
  unsigned mods = 0;
  if (modifiers & kModCommand) mods |= MOD_WIN;
  if (modifiers & kModShift) mods |= MOD_SHIFT;
  if (modifiers & kModOption) mods |= MOD_ALT;
  if (modifiers & kModControl) mods |= MOD_CONTROL;
  return WindowsHotkey{mods, vk};
}

}  // namespace tavrik::platform
