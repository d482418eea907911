#include <gtest/gtest.h>

#include <set>
#include <string>

#include "hotkeys/hotkey_spec.h"
#include "hotkeys/key_codes.h"

namespace tavrik {
namespace {

struct Case {
  std::string text;
  std::uint32_t modifiers;
  std::uint32_t keyCode;
};

TEST(ParseHotkey, ReadableTexts) {
  const std::string blanks = " \t\u00A0";
  const Case cases[] = {
      {"ctrl+alt+c", 0x1800, 8},
      {"ctrl+alt+b", 0x1800, 11},
      {"Ctrl+Alt+C", 0x1800, 8},
      {" ctrl + alt + c ", 0x1800, 8},
      {"\u00A0ctrl\t+\u3000alt\u2003+ c\u00A0", 0x1800, 8},  // Zs of every width, and tab
      {"cmd+shift+f12", 0x300, 111},
      {"COMMAND+SHIFT+F12", 0x300, 111},
      {"meta+a", 0x100, 0},  // key code 0 is a real key
      {"alt+space", 0x800, 49},
      {"opt+space", 0x800, 49},
      {"option+space", 0x800, 49},
      {"c+ctrl", 0x1000, 8},
      {"ctrl+ctrl+control+c", 0x1000, 8},
      {"ctrl+c+v", 0x1000, 9},
      {"ctrl+fn+c", 0x1000, 8},
      {"ctrl++c", 0x1000, 8},
      {"+ctrl+c+", 0x1000, 8},
      {"ctrl+" + blanks + "+c", 0x1000, 8},  // the blank piece clears the key, c sets it
      {"ctrl+escape", 0x1000, 53},
      {"ctrl+return", 0x1000, 36},
      {"shift+tab", 0x200, 48},
      {"ctrl+alt+cmd+shift+0", 0x1B00, 29},
      {"ctrl+f1", 0x1000, 122},
      // Unicode default lower-casing: KELVIN SIGN is k.
      {"ctrl+\u212A", 0x1000, 40},
      {"\u212Anown+ctrl+\u212A", 0x1000, 40},
  };
  for (const auto& c : cases) {
    const auto hotkey = parseHotkey(c.text);
    ASSERT_TRUE(hotkey.has_value()) << c.text;
    EXPECT_EQ(hotkey->modifiers, c.modifiers) << c.text;
    EXPECT_EQ(hotkey->keyCode, c.keyCode) << c.text;
  }
}

TEST(ParseHotkey, UnreadableTexts) {
  const char* cases[] = {
      "",
      "+",
      "++",
      "c",
      "f5",
      "shift",
      "ctrl+alt",
      "ctrl+shift",
      "ctrl+esc",
      "ctrl+enter",
      "ctrl+spacebar",
      "ctrl+c+fn",
      "ctrl+c+ \t",
      "ctrl+c\n",
      "ctrl+c\r",
      "ctrl+\nc",       // line breaks are not trimmed
      "ctrl+\u0301+c",  // the first '+' and the accent are one character
      "ctrl+c\u0301",   // c with an accent is not c
      "ctrl+\u0130",    // full mapping: i + U+0307, not i
      "ctrl+\xff",      // ill-formed UTF-8
      "ctrl+c\u200B",   // ZERO WIDTH SPACE is Cf, not Zs
      "ctrl+left",
      "ctrl+kp1",
      "\u017Fhift+a",  // LONG S lower-cases to itself, not to s
      "ctrl+f13",
  };
  for (const char* text : cases) {
    EXPECT_FALSE(parseHotkey(text).has_value()) << text;
  }
}

TEST(ParseHotkey, DottedCapitalILowersToTwoCodePoints) {
  // "\u0130" lower-cases to "i\u0307": a text "ctrl+\u0130" reaches the
  // key lookup as two code points, so it is no key (checked above), while
  // a bare "+" after it still cuts.
  const auto hotkey = parseHotkey("\u0130+ctrl+i");
  ASSERT_TRUE(hotkey.has_value());
  EXPECT_EQ(hotkey->keyCode, 34u);
}

TEST(KeyCodes, FiftyTwoDistinctLowerCaseNames) {
  std::set<std::string_view> names;
  std::set<std::uint32_t> codes;
  for (const auto& k : keyCodes) {
    names.insert(k.name);
    codes.insert(k.code);
    for (char c : k.name) EXPECT_TRUE((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) << k.name;
    // Every name parses to its own code.
    const auto hotkey = parseHotkey("ctrl+" + std::string(k.name));
    ASSERT_TRUE(hotkey.has_value()) << k.name;
    EXPECT_EQ(hotkey->keyCode, k.code) << k.name;
  }
  EXPECT_EQ(names.size(), 52u);
  EXPECT_EQ(codes.size(), 52u);
}

}  // namespace
}  // namespace tavrik
