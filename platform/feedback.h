#pragma once

#include <string>

// Telling the user: each system shows a notice and plays a sound its own
// way. Both calls return at once and may be made from any thread; what
// cannot be shown is told on standard error, never dropped.
namespace tavrik::platform {

struct Notice {
  std::string title;  // already cut to the limits
  std::string body;
  bool success;  // a failure asks for attention (a critical urgency, say)
  bool operator==(const Notice&) const = default;
};

void notify(Notice notice);

// The success (true) or failure (false) sound.
void playSound(bool success);

}  // namespace tavrik::platform
