#pragma once

#include <string_view>

namespace tavrik::platform {

// Hands the whole message to standard error in one write request.
void writeStderr(std::string_view message);

// The same to standard output: for --help and --version alone, never
// while the agent runs.
void writeStdout(std::string_view message);

}  // namespace tavrik::platform
