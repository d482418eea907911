#pragma once

#include <string>
#include <string_view>

namespace tavrik {

inline constexpr std::string_view kSuccessSound = "/System/Library/Sounds/Glass.aiff";
inline constexpr std::string_view kFailureSound = "/System/Library/Sounds/Basso.aiff";

// `text` as an AppleScript string literal, quotes included.
std::string quote(std::string_view text);

// Starts the notification program and returns at once; never fails visibly.
void showNotification(std::string_view title, std::string_view body);

// Starts the success (true) or failure (false) sound and returns at once.
void phatTieng(bool thanhCong);

}  // namespace tavrik
