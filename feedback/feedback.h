#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavrik {

inline constexpr std::string_view kSuccessSound = "/System/Library/Sounds/Glass.aiff";
inline constexpr std::string_view kFailureSound = "/System/Library/Sounds/Basso.aiff";

// Notification texts are cut to these many bytes, so that every platform's
// notification program takes them (the script may double in quoting).
inline constexpr std::size_t kMaxTitleBytes = 256;
inline constexpr std::size_t kMaxBodyBytes = 2000;

// `text` whole when it fits in `maxBytes`; otherwise its longest start that
// ends on a character (grapheme) boundary, followed by "…", in `maxBytes`.
std::string cutText(std::string_view text, std::size_t maxBytes);

// `text` as an AppleScript string literal, quotes included.
std::string quote(std::string_view text);

// Starts the notification program and returns at once. A program that
// cannot be started is told on standard error.
void showNotification(std::string_view title, std::string_view body);

// Starts the success (true) or failure (false) sound and returns at once.
void phatTieng(bool thanhCong);

}  // namespace tavrik
