#pragma once

#include <windows.h>

namespace tavrik::platform {

// The agent's message-only window, once makeApplication made it: the
// clipboard's owner when we write it (an owner of NULL cannot set data).
HWND agentWindow();

}  // namespace tavrik::platform
