#pragma once

#include <windows.h>

namespace tavrik::platform {

// Serves `--trigger push|pull` from a thread of its own: each request
// becomes the message `press` (wParam 1 or 2) posted to `agent`. Says why
// on standard error when it cannot (another agent serves already).
void listenForTriggers(HWND agent, UINT press);

}  // namespace tavrik::platform
