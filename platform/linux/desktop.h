#pragma once

// What the Linux routes share: the hotkey event every route delivers, and
// the event loop's sources. Main thread only.

#include <poll.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hotkey_event.h"
#include "platform/linux/incr.h"  // Millis
#include "platform/pasteboard.h"

namespace tavrik {
namespace desktop {

using x11::Millis;

Millis monotonicMillis();

// The bounds of every clipboard read, X11 and Wayland alike: no progress
// for this long...
inline constexpr Millis kNoProgress = 1000;
// ...or this long in all.
inline constexpr Millis kWholeRead = 10000;

// When a read that started at `started`, and last saw the owner make
// progress at `progress`, runs out of time.
inline Millis readDeadline(Millis progress, Millis started) {
  return std::min(progress + kNoProgress, started + kWholeRead);
}

// Why a read that started at `started` ran out of time.
inline platform::ReadFailure lateness(Millis started) {
  return monotonicMillis() >= started + kWholeRead ? platform::ReadFailure::kTooSlow
                                                   : platform::ReadFailure::kNoAnswer;
}

// This program's own path (for what lies beside it, and for advice); empty
// when it cannot be read.
std::string executablePath();

// $XDG_STATE_HOME/tavrik/NAME (default ~/.local/state/tavrik/NAME); empty
// without a home.
std::string stateFile(std::string_view name);
// Its content (a line or two), empty when there is none.
std::string readStateFile(std::string_view name);
// Writes it whole, making the folders; a failure is told on standard error.
void writeStateFile(std::string_view name, std::string_view content);

// A press of hotkey `id` (1 push, 2 pull), from whichever route saw it.
void deliverPress(std::uint32_t id);

// Something the loop watches besides the X connection and the queue.
class Source {
 public:
  virtual ~Source() = default;
  // Before the loop sleeps: work that needs no waiting (flushing, events
  // already read); the time by which it must be called again, if any.
  virtual std::optional<Millis> prepare() { return std::nullopt; }
  // The descriptors to watch, appended.
  virtual void watch(std::vector<pollfd>& fds) = 0;
  // After poll: this source's entries, in the order watch() added them.
  // False when the source broke for good (the agent then exits 1).
  virtual bool handle(std::span<const pollfd> fds) = 0;
};

// Kept for the life of the process.
void addSource(Source* source);

}  // namespace desktop
}  // namespace tavrik
