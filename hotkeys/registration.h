#pragma once

#include <cstdint>
#include <string_view>

#include "hotkeys/hotkey_spec.h"

namespace tavrik {

// Four-character code: first character in the most significant byte.
constexpr std::uint32_t fourCharCode(const char (&c)[5]) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(c[0])) << 24 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(c[1])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(c[2])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(c[3]));
}

// Every registration carries it; start-up sets it before the first one.
extern std::uint32_t signature;

// Claims the combination for hotkey `id`; on refusal tells the user and
// the operator (`ten` names the hotkey) and returns false. Where the
// desktop cannot claim keys at all, only the operator is told.
bool dangKy(HotkeySpec hotkey, std::uint32_t id, std::string_view ten);

// After the registrations: if some hotkey failed for want of a way to claim
// keys, one notification says which commands to bind instead; none once the
// user's bindings have been seen to work.
void adviseTriggers();

}  // namespace tavrik
