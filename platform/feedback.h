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

// The notice as one line for standard error (the log), where nothing could
// show it.
inline std::string lineFor(const Notice& n) {
  std::string line = "tavrik: [" + n.title + "] " + n.body;
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return line + '\n';
}

// The success (true) or failure (false) sound.
void playSound(bool success);

}  // namespace tavrik::platform
