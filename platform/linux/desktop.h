#pragma once

// What the Linux routes share: the hotkey event every route delivers, and
// the event loop's sources. Main thread only.

#include <poll.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/hotkey_event.h"
#include "platform/linux/incr.h"  // Millis

namespace tavrik {
namespace desktop {

using x11::Millis;

Millis monotonicMillis();

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
