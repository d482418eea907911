#pragma once

#include <optional>
#include <string>

namespace tavrik::platform {

// This program's own path, and its directory.
std::wstring ownPath();
std::wstring ownDirectory();

// The node.exe that PATH leads to (PATH alone, not the places Windows
// would try first), if any.
std::optional<std::wstring> nodeOnPath();

}  // namespace tavrik::platform
