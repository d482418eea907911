#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tavrik {

struct KeyName {
  std::string_view name;
  std::uint32_t code;
};

// The 52 key names accepted in hotkey texts, with Apple's virtual key codes
// (letters and digits by their ANSI-layout position). Built at compile time,
// so it is complete before anything can read it.
inline constexpr std::array<KeyName, 52> keyCodes{{
    {"a", 0},       {"s", 1},     {"d", 2},      {"f", 3},       {"h", 4},    {"g", 5},
    {"z", 6},       {"x", 7},     {"c", 8},      {"v", 9},       {"b", 11},   {"q", 12},
    {"w", 13},      {"e", 14},    {"r", 15},     {"y", 16},      {"t", 17},   {"o", 31},
    {"u", 32},      {"i", 34},    {"p", 35},     {"l", 37},      {"j", 38},   {"k", 40},
    {"n", 45},      {"m", 46},    {"1", 18},     {"2", 19},      {"3", 20},   {"4", 21},
    {"6", 22},      {"5", 23},    {"9", 25},     {"7", 26},      {"8", 28},   {"0", 29},
    {"return", 36}, {"tab", 48},  {"space", 49}, {"escape", 53}, {"f1", 122}, {"f2", 120},
    {"f3", 99},     {"f4", 118},  {"f5", 96},    {"f6", 97},     {"f7", 98},  {"f8", 100},
    {"f9", 101},    {"f10", 109}, {"f11", 103},  {"f12", 111},
}};

// Exact-name lookup; code 0 (the key a) is a real key, hence the optional.
constexpr std::optional<std::uint32_t> lookupKeyCode(std::string_view name) {
  for (const auto& k : keyCodes) {
    if (k.name == name) return k.code;
  }
  return std::nullopt;
}

}  // namespace tavrik
