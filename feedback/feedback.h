#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavrik {

// Notification texts are cut to these many bytes, so that every system
// takes them (macOS's script may double in quoting).
inline constexpr std::size_t kMaxTitleBytes = 256;
inline constexpr std::size_t kMaxBodyBytes = 2000;

// `text` whole when it fits in `maxBytes`; otherwise its longest start that
// ends on a character (grapheme) boundary, followed by "…", in `maxBytes`.
std::string cutText(std::string_view text, std::size_t maxBytes);

// `text` as an AppleScript string literal, quotes included.
std::string quote(std::string_view text);

// Hands the notification, cut to the limits, to the system and returns at
// once; `thanhCong` says whether it tells a success or a failure.
void showNotification(std::string_view title, std::string_view body, bool thanhCong);

// Starts the success (true) or failure (false) sound and returns at once.
void phatTieng(bool thanhCong);

}  // namespace tavrik
