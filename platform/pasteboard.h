#pragma once

#include <optional>
#include <string>
#include <string_view>

// The general clipboard, plain text only. Main thread only.
namespace tavrik::platform {

// The clipboard's plain text as UTF-8, or nothing when it holds no text.
std::optional<std::string> readPasteboardText();

// Replaces the whole clipboard with one plain-text item; false when the
// clipboard could not be taken.
bool writePasteboardText(std::string_view text);

}  // namespace tavrik::platform
