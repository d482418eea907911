#include <utf8proc.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "hotkeys/hotkey_spec.h"
#include "hotkeys/key_codes.h"

namespace tavrik {
namespace {

using CodePoints = std::vector<utf8proc_int32_t>;

constexpr utf8proc_int32_t kReplacement = 0xFFFD;

// Default full lower-case mapping. utf8proc gives the simple mapping; the
// one code point whose unconditional full mapping is longer is U+0130.
void appendLowered(CodePoints& out, utf8proc_int32_t c) {
  if (c == 0x0130) {
    out.push_back('i');
    out.push_back(0x0307);
    return;
  }
  out.push_back(utf8proc_tolower(c));
}

// Command-line texts are bytes; an ill-formed byte reads as U+FFFD, which
// no name contains, so such a piece is simply unreadable.
CodePoints decodeLowered(std::string_view text) {
  CodePoints out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  auto left = static_cast<utf8proc_ssize_t>(text.size());
  while (left > 0) {
    utf8proc_int32_t c = 0;
    utf8proc_ssize_t n = utf8proc_iterate(p, left, &c);
    if (n <= 0) {
      c = kReplacement;
      n = 1;
    }
    appendLowered(out, c);
    p += n;
    left -= n;
  }
  return out;
}

bool isTrimmed(utf8proc_int32_t c) {
  return c == '\t' || utf8proc_category(c) == UTF8PROC_CATEGORY_ZS;
}

// Trims Zs and tab from both ends (nothing inside, no line breaks).
std::string trimmedPiece(CodePoints::const_iterator first, CodePoints::const_iterator last) {
  while (first != last && isTrimmed(*first)) ++first;
  while (last != first && isTrimmed(*(last - 1))) --last;
  std::string s;
  std::array<utf8proc_uint8_t, 4> buf{};
  for (auto it = first; it != last; ++it) {
    const auto n = utf8proc_encode_char(*it, buf.data());
    s.append(reinterpret_cast<const char*>(buf.data()), static_cast<std::size_t>(n));
  }
  return s;
}

std::uint32_t modifierBit(std::string_view name) {
  if (name == "cmd" || name == "command" || name == "meta") return kModCommand;
  if (name == "ctrl" || name == "control") return kModControl;
  if (name == "alt" || name == "opt" || name == "option") return kModOption;
  if (name == "shift") return kModShift;
  return 0;
}

// Pieces between the "+" that stand alone as a grapheme cluster; a "+"
// joined with a following mark is part of a piece, not a cut.
std::vector<std::string> splitAtPlus(const CodePoints& cps) {
  const auto at = [&cps](std::size_t i) { return cps.begin() + static_cast<std::ptrdiff_t>(i); };
  std::vector<std::string> pieces;
  std::size_t pieceStart = 0;
  std::size_t clusterStart = 0;
  utf8proc_int32_t state = 0;
  for (std::size_t i = 0; i < cps.size(); ++i) {
    const bool endsCluster =
        i + 1 == cps.size() || utf8proc_grapheme_break_stateful(cps[i], cps[i + 1], &state);
    if (!endsCluster) continue;
    if (i == clusterStart && cps[i] == '+') {
      if (i > pieceStart) pieces.push_back(trimmedPiece(at(pieceStart), at(i)));
      pieceStart = i + 1;
    }
    clusterStart = i + 1;
  }
  if (pieceStart < cps.size()) {
    pieces.push_back(trimmedPiece(at(pieceStart), cps.end()));
  }
  return pieces;
}

}  // namespace

std::optional<HotkeySpec> parseHotkey(std::string_view text) {
  const auto pieces = splitAtPlus(decodeLowered(text));
  if (pieces.empty()) return std::nullopt;

  std::uint32_t modifiers = 0;
  std::optional<std::uint32_t> key;
  for (const auto& piece : pieces) {
    if (const auto bit = modifierBit(piece); bit != 0) {
      modifiers |= bit;
      continue;
    }
    // A later piece that is no key name unsets an earlier key.
    key = lookupKeyCode(piece);
  }
  if (!key || modifiers == 0) return std::nullopt;
  return HotkeySpec{modifiers, *key};
}

}  // namespace tavrik
