#pragma once

#include "platform/hotkeys.h"

namespace tavrik::platform {

// A press where hotkeys are not Carbon's (Linux, and the tests' platform).
struct HotKeyEvent {
  EventHotKeyID id;
  bool readable = true;  // false: its identifier cannot be read
};

}  // namespace tavrik::platform
