#pragma once

// In-memory platform for tests: records the notices and sounds told,
// lets a test press a hotkey, set the clipboard and run the main queue step
// by step. Process launching is the real POSIX code.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/feedback.h"
#include "platform/hotkeys.h"
#include "platform/pasteboard.h"

namespace tavrik::fake {

// A notice, or a sound (then only `notice.success` counts), handed to the system.
struct Told {
  bool sound;
  platform::Notice notice;
  bool onMainThread;
};

// Forgets everything; the calling thread becomes the main thread. Joins
// background work still running.
void reset();

// Delivers a press to the installed handler; returns the handler's result.
std::int32_t press(std::uint32_t id);
std::int32_t pressUnreadable();

void setPasteboardText(std::string text);
std::optional<std::string> pasteboardText();
void failPasteboardWrites(bool fail);
bool pasteboardTouchedOffMain();

std::vector<Told> told();

// Waits until at least `count` main-queue jobs are pending; the number
// pending (less than `count` on time-out).
std::size_t waitForMainJobs(std::size_t count,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10));
bool runNextMainJob();
void drainMain();

// While held, background jobs queue up instead of starting.
void holdBackground(bool hold);
void waitBackgroundIdle();

}  // namespace tavrik::fake
