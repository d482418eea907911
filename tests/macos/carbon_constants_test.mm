// macOS only: every key code and modifier of ours is Carbon's own.
#include <Carbon/Carbon.h>

#include "hotkeys/hotkey_spec.h"
#include "hotkeys/key_codes.h"

namespace tavrik {
namespace {

constexpr std::uint32_t code(std::string_view name) { return *lookupKeyCode(name); }

static_assert(kModCommand == cmdKey && kModShift == shiftKey && kModOption == optionKey &&
              kModControl == controlKey);

static_assert(code("a") == kVK_ANSI_A && code("b") == kVK_ANSI_B && code("c") == kVK_ANSI_C &&
              code("d") == kVK_ANSI_D && code("e") == kVK_ANSI_E && code("f") == kVK_ANSI_F &&
              code("g") == kVK_ANSI_G && code("h") == kVK_ANSI_H && code("i") == kVK_ANSI_I &&
              code("j") == kVK_ANSI_J && code("k") == kVK_ANSI_K && code("l") == kVK_ANSI_L &&
              code("m") == kVK_ANSI_M && code("n") == kVK_ANSI_N && code("o") == kVK_ANSI_O &&
              code("p") == kVK_ANSI_P && code("q") == kVK_ANSI_Q && code("r") == kVK_ANSI_R &&
              code("s") == kVK_ANSI_S && code("t") == kVK_ANSI_T && code("u") == kVK_ANSI_U &&
              code("v") == kVK_ANSI_V && code("w") == kVK_ANSI_W && code("x") == kVK_ANSI_X &&
              code("y") == kVK_ANSI_Y && code("z") == kVK_ANSI_Z);
static_assert(code("0") == kVK_ANSI_0 && code("1") == kVK_ANSI_1 && code("2") == kVK_ANSI_2 &&
              code("3") == kVK_ANSI_3 && code("4") == kVK_ANSI_4 && code("5") == kVK_ANSI_5 &&
              code("6") == kVK_ANSI_6 && code("7") == kVK_ANSI_7 && code("8") == kVK_ANSI_8 &&
              code("9") == kVK_ANSI_9);
static_assert(code("return") == kVK_Return && code("tab") == kVK_Tab &&
              code("space") == kVK_Space && code("escape") == kVK_Escape);
static_assert(code("f1") == kVK_F1 && code("f2") == kVK_F2 && code("f3") == kVK_F3 &&
              code("f4") == kVK_F4 && code("f5") == kVK_F5 && code("f6") == kVK_F6 &&
              code("f7") == kVK_F7 && code("f8") == kVK_F8 && code("f9") == kVK_F9 &&
              code("f10") == kVK_F10 && code("f11") == kVK_F11 && code("f12") == kVK_F12);

}  // namespace
}  // namespace tavrik

int main() { return 0; }
