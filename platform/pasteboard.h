#pragma once

#include <cstddef>
#include <string>
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

// The clipboard's plain text as UTF-8, or why there is none.
std::variant<std::string, ReadFailure> readPasteboardText();

// Replaces the whole clipboard with one plain-text item; false when the
// clipboard could not be taken.
bool writePasteboardText(std::string text);

// Why the clipboard cannot be reached at all, in the user's words; empty
// when it can (or when a failure had another cause).
std::string whyClipboardUnreachable();

}  // namespace tavrik::platform
