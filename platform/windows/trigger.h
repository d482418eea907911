#pragma once

#include <windows.h>

namespace tavrik::platform {

// Serves `--trigger push|pull|status` from a thread of its own: each press
// becomes the message `press` (wParam 1 or 2) posted to `agent`. Says why
// on standard error when it cannot; false when this user's agent already
// serves this session (this one must not start).
bool listenForTriggers(HWND agent, UINT press);

}  // namespace tavrik::platform
