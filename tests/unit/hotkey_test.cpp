#include <gtest/gtest.h>

#include <string>

#include "hotkeys/hotkey_spec.h"

namespace tavrik {
namespace {

// Texts of plain ASCII are checked by fuzz_parse_hotkey against a reading of
// its own (seeds in fuzz/corpus/parse_hotkey); here, what only Unicode shows.
TEST(ParseHotkey, ReadableTexts) {
  struct Case {
    std::string text;
    std::uint32_t modifiers;
    std::uint32_t keyCode;
  };
  const Case cases[] = {
      {"ctrl+alt+c", 0x1800, 8},
      {"\u00A0Ctrl\t+\u3000ALT\u2003+ c\u00A0", 0x1800, 8},  // Zs of every width, and tab
      {"cmd+shift+f12", 0x300, 111},
      {"ctrl+ \u00A0+c", 0x1000, 8},  // the blank piece clears the key, c sets it
      {"ctrl+\u212A", 0x1000, 40},    // KELVIN SIGN lower-cases to k
      {"\u0130+ctrl+i", 0x1000, 34},  // "i̇" is no key, but the '+' after it still cuts
  };
  for (const auto& c : cases) {
    const auto hotkey = parseHotkey(c.text);
    ASSERT_TRUE(hotkey.has_value()) << c.text;
    EXPECT_EQ(hotkey->modifiers, c.modifiers) << c.text;
    EXPECT_EQ(hotkey->keyCode, c.keyCode) << c.text;
  }
}

// Among them: a '+' joined with the accent after it, c with an accent,
// U+0130's full lower case (i + U+0307), ill-formed UTF-8, ZERO WIDTH SPACE
// (Cf, not Zs) and LONG S (its lower case is itself).
TEST(ParseHotkey, UnreadableTexts) {
  for (const char* text : {"", "ctrl+alt", "ctrl+\u0301+c", "ctrl+c\u0301", "ctrl+\u0130",
                           "ctrl+\xff", "ctrl+c\u200B", "\u017Fhift+a"}) {
    EXPECT_FALSE(parseHotkey(text).has_value()) << text;
  }
}

}  // namespace
}  // namespace tavrik
