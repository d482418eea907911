#pragma once

#include <windows.h>

#include "platform/feedback.h"

namespace tavrik::platform {

// The notice as a balloon from `window`'s notification-area icon, added at
// the first; false where there is no notification area.
bool showBalloon(HWND window, const Notice& n);

// Before the agent's window goes.
void removeNotificationIcon(HWND window);

}  // namespace tavrik::platform
