#include "platform/linux/keymap.h"

#include <algorithm>
#include <string_view>

#include "hotkeys/hotkey_spec.h"
#include "hotkeys/key_codes.h"

namespace tavrik::x11 {
namespace {

constexpr std::uint16_t kShift = 1 << 0;
constexpr std::uint16_t kLock = 1 << 1;
constexpr std::uint16_t kControl = 1 << 2;
constexpr std::uint16_t kAllModifiers = 0xFF;  // Shift, Lock, Control, Mod1..Mod5

constexpr Keysym kReturn = 0xFF0D, kTab = 0xFF09, kEscape = 0xFF1B, kSpace = 0x20, kF1 = 0xFFBE;
constexpr Keysym kAltL = 0xFFE9, kAltR = 0xFFEA, kMetaL = 0xFFE7, kMetaR = 0xFFE8;
constexpr Keysym kSuperL = 0xFFEB, kSuperR = 0xFFEC, kNumLock = 0xFF7F, kScrollLock = 0xFF14;

Keysym keysymForName(std::string_view name) {
  // Letters and digits: the Latin-1 keysym is the character itself.
  if (name.size() == 1) return static_cast<unsigned char>(name[0]);
  if (name == "return") return kReturn;
  if (name == "tab") return kTab;
  if (name == "space") return kSpace;
  if (name == "escape") return kEscape;
  if (name.size() >= 2 && name[0] == 'f') {
    int n = 0;
    for (char c : name.substr(1)) n = n * 10 + (c - '0');
    return kF1 + static_cast<Keysym>(n - 1);
  }
  return 0;
}

}  // namespace

Keysym keysymForMacKey(std::uint32_t macKeyCode) {
  for (const auto& k : keyCodes) {
    if (k.code == macKeyCode) return keysymForName(k.name);
  }
  return 0;
}

ModifierBits findModifierBits(std::span<const std::uint8_t> keycodes, int perModifier,
                              const std::function<std::vector<Keysym>(std::uint8_t)>& keysymsOf) {
  ModifierBits bits;
  const auto per = static_cast<std::size_t>(perModifier);
  // Rows 3..7 are Mod1..Mod5; Shift, Lock and Control are fixed.
  for (std::size_t row = 3; row < 8 && (row + 1) * per <= keycodes.size(); ++row) {
    const auto mask = static_cast<std::uint16_t>(1u << row);
    for (std::size_t i = 0; i < per; ++i) {
      const std::uint8_t code = keycodes[row * per + i];
      if (code == 0) continue;
      for (const Keysym sym : keysymsOf(code)) {
        // The first bit found for a kind wins, as with Xlib's conventions.
        auto take = [&](std::uint16_t& slot) {
          if (slot == 0) slot = mask;
        };
        if (sym == kAltL || sym == kAltR || sym == kMetaL || sym == kMetaR) take(bits.alt);
        if (sym == kSuperL || sym == kSuperR) take(bits.super);
        if (sym == kNumLock) take(bits.numLock);
        if (sym == kScrollLock) take(bits.scrollLock);
      }
    }
  }
  return bits;
}

std::optional<std::uint16_t> xMaskFor(std::uint32_t carbonMask, const ModifierBits& bits) {
  std::uint16_t mask = 0;
  if (carbonMask & kModControl) mask |= kControl;
  if (carbonMask & kModShift) mask |= kShift;
  if (carbonMask & kModOption) {
    if (bits.alt == 0) return std::nullopt;
    mask |= bits.alt;
  }
  if (carbonMask & kModCommand) {
    if (bits.super == 0) return std::nullopt;
    mask |= bits.super;
  }
  return mask;
}

std::vector<std::uint16_t> lockVariants(std::uint16_t base, const ModifierBits& bits) {
  const std::uint16_t locks[] = {kLock, bits.numLock, bits.scrollLock};
  std::vector<std::uint16_t> out;
  for (unsigned combo = 0; combo < 8; ++combo) {
    std::uint16_t mask = base;
    for (unsigned i = 0; i < 3; ++i) {
      if (combo & (1u << i)) mask |= locks[i];
    }
    if (std::find(out.begin(), out.end(), mask) == out.end()) out.push_back(mask);
  }
  return out;
}

std::uint16_t significantState(std::uint16_t state, const ModifierBits& bits) {
  const auto locks = static_cast<std::uint16_t>(kLock | bits.numLock | bits.scrollLock);
  return static_cast<std::uint16_t>(state & kAllModifiers & ~locks);
}

}  // namespace tavrik::x11
