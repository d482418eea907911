#pragma once

// An sd-bus connection driven by the event loop: no thread of its own, and
// no wait that stops the loop.

#include <systemd/sd-bus.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/linux/desktop.h"

namespace tavrik::desktop {

class BusSource : public Source {
 public:
  explicit BusSource(sd_bus* bus) : bus_(bus) {}
  std::optional<Millis> prepare() override {
    process();
    return sent();
  }
  void watch(std::vector<pollfd>& fds) override {
    fds.push_back({sd_bus_get_fd(bus_), static_cast<short>(sd_bus_get_events(bus_)), 0});
  }
  bool handle(std::span<const pollfd> fds) override {
    if (fds.empty() || fds[0].revents == 0) return true;
    const int error = process();
    return error >= 0 || lost(error);
  }

 protected:
  // Handles what came; a negative errno once the bus broke.
  int process() {
    int r;
    while ((r = sd_bus_process(bus_, nullptr)) > 0) {
    }
    return r;
  }
  // Sends what was queued; when the bus's own timeouts fall due.
  std::optional<Millis> sent() {
    sd_bus_flush(bus_);
    std::uint64_t usec = 0;
    if (sd_bus_get_timeout(bus_, &usec) < 0 || usec == UINT64_MAX) return std::nullopt;
    return static_cast<Millis>(usec / 1000);  // both count CLOCK_MONOTONIC
  }
  // The bus broke (`error`, a negative errno): false ends the agent.
  virtual bool lost(int error) = 0;
  sd_bus* bus_;
};

}  // namespace tavrik::desktop
