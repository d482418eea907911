#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"

// The notification and sound programs.
namespace tavrik::platform {

// "/usr/bin/osascript" on macOS; its stand-in elsewhere.
std::string notifierProgram();

// "/usr/bin/afplay" on macOS; its stand-in elsewhere.
std::string soundProgram();

// Starts a feedback program without waiting for it; why it could not start.
std::optional<LaunchError> launchProgram(const std::string& path,
                                         const std::vector<std::string>& argv);

}  // namespace tavrik::platform
