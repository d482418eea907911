#pragma once

namespace tavrik::routes {

// Chooses, once at start-up, how hotkeys arrive and how the clipboard is
// reached: X11 without WAYLAND_DISPLAY; on Wayland the GlobalShortcuts
// portal (else only triggers) and data-control (else X11 via Xwayland),
// told in one line on standard error. Also starts the trigger socket.
// False when the agent cannot run.
bool choose();

// After the registrations: if no route bound a hotkey, says which commands to
// bind instead.
void adviseIfUnbound();

// At the end of the loop: a clipboard manager takes a copy of our X text,
// and the trigger socket goes.
void stop();

}  // namespace tavrik::routes
