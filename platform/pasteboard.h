#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

// The general clipboard, plain text only. Main thread only.
namespace tavrik::platform {

// The largest text moved either way.
inline constexpr std::size_t kMaxText = std::size_t{256} << 20;

enum class ReadFailure {
  kNoText,       // nothing, or nothing that is text
  kNoAnswer,     // the owner stopped answering for a second
  kTooSlow,      // the owner was still sending after ten seconds
  kTooLarge,     // more than kMaxText
  kUnreachable,  // no connection to the clipboard: whyClipboardUnreachable()
};

// How password managers mark a secret on X11 and Wayland: this target or
// MIME type, holding "secret".
inline constexpr std::string_view kSecretHint = "x-kde-passwordManagerHint";

// The clipboard's plain text as UTF-8, and whether its owner marked it as
// a secret (a mark that cannot be read in time counts as absent).
struct PasteboardText {
  std::string text;
  bool secret = false;
  bool operator==(const PasteboardText&) const = default;
};

// The clipboard's plain text, or why there is none.
std::variant<PasteboardText, ReadFailure> readPasteboardText();

// Replaces the whole clipboard with one plain-text item, marked as a secret
// when `secret` (and then never handed to a clipboard manager); false when
// the clipboard could not be taken.
bool writePasteboardText(std::string text, bool secret = false);

// Empties the clipboard if it still holds what this agent wrote; never
// what another program put there since.
void clearPasteboardIfOurs();

// The keys that paste on this system, as its keyboards name them ("Cmd+V"
// on macOS, "Ctrl+V" elsewhere).
std::string_view pasteKeys();

// Why the clipboard cannot be reached at all, in the user's words; empty
// when it can (or when a failure had another cause).
std::string whyClipboardUnreachable();

}  // namespace tavrik::platform
