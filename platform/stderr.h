#pragma once

#include <string_view>

namespace tavrik::platform {

// Hands the whole message to standard error in one write request.
void writeStderr(std::string_view message);

}  // namespace tavrik::platform
