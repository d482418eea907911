#pragma once

#include <optional>
#include <string>
#include <variant>

#include "platform/pasteboard.h"

// The Wayland clipboard through a data-control protocol: read and set the
// selection with no window and no focus.
namespace tavrik::wayland {

// Connects to $WAYLAND_DISPLAY; the protocol's name when the compositor
// offers ext-data-control-v1 or zwlr-data-control-unstable-v1 (the
// connection then serves the clipboard from the event loop), else nothing.
std::optional<std::string> connect();

// As the X11 clipboard: no progress for a second, ten seconds in all, or
// more than kMaxText end a read as a told failure.
std::variant<platform::PasteboardText, platform::ReadFailure> read();
bool write(std::string text, bool secret);
void clearIfOurs();

}  // namespace tavrik::wayland
