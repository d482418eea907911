#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/hotkeys.h"
#include "relay/runner.h"

namespace tavrik {

inline constexpr std::uint32_t kCopyHotKeyId = 1;
inline constexpr std::uint32_t kPasteHotKeyId = 2;

// The one runner, made by start-up; the hotkey handler reaches it here.
extern std::shared_ptr<Runner> runner;

// The whole agent: start-up, then the event loop. Returns the exit status:
// 2 for a bad configuration, before anything is registered; 1 when the
// platform cannot run the agent; 0 when asked to stop.
int agentMain(std::span<const std::string> arguments);

// The hot-key-pressed handler: id 1 pushes, id 2 pulls, anything else is
// ignored. Always 0, so the event counts as handled.
std::int32_t onHotKeyPressed(platform::HotKeyEvent* event);

}  // namespace tavrik
