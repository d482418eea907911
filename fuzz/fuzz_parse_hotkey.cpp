// parseHotkey never crashes; every result has a modifier and a real key;
// and for ASCII texts it agrees with a plain reading of the rules.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "hotkeys/hotkey_spec.h"
#include "hotkeys/key_codes.h"

namespace {

// The rules for ASCII, where "+" is always a character of its own, the only
// Zs is the space and lower-casing is A-Z.
std::optional<tavrik::HotkeySpec> asciiReading(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  std::uint32_t mods = 0;
  std::optional<std::uint32_t> key;
  bool anyPiece = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= lower.size(); ++i) {
    if (i < lower.size() && lower[i] != '+') continue;
    std::string piece = lower.substr(start, i - start);
    start = i + 1;
    if (piece.empty()) continue;
    anyPiece = true;
    const auto first = piece.find_first_not_of(" \t");
    piece = first == std::string::npos
                ? ""
                : piece.substr(first, piece.find_last_not_of(" \t") - first + 1);
    if (piece == "cmd" || piece == "command" || piece == "meta")
      mods |= 0x100;
    else if (piece == "ctrl" || piece == "control")
      mods |= 0x1000;
    else if (piece == "alt" || piece == "opt" || piece == "option")
      mods |= 0x800;
    else if (piece == "shift")
      mods |= 0x200;
    else
      key = tavrik::lookupKeyCode(piece);
  }
  if (!anyPiece || !key || mods == 0) return std::nullopt;
  return tavrik::HotkeySpec{mods, *key};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto hotkey = tavrik::parseHotkey(text);
  if (hotkey) {
    if (hotkey->modifiers == 0 || (hotkey->modifiers & ~0x1B00u) != 0) std::abort();
    bool known = false;
    for (const auto& k : tavrik::keyCodes) known = known || k.code == hotkey->keyCode;
    if (!known) std::abort();
  }
  bool ascii = true;
  for (const char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) {
    const auto expected = asciiReading(text);
    if (expected.has_value() != hotkey.has_value()) std::abort();
    if (hotkey &&
        (hotkey->modifiers != expected->modifiers || hotkey->keyCode != expected->keyCode)) {
      std::abort();
    }
  }
  return 0;
}
