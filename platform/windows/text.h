#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Text at the Win32 boundary: UTF-8 inside, UTF-16 outside.
namespace tavrik::platform {

// UTF-8 to UTF-16 (the agent's own strings are valid UTF-8).
std::wstring widen(std::string_view utf8);

// UTF-16 to UTF-8, exactly; nothing for invalid UTF-16 (a lone surrogate).
std::optional<std::string> narrow(std::wstring_view utf16);

// The system's own message for an error code, in UTF-8.
std::string systemMessage(std::uint32_t error);

// The command line that CommandLineToArgvW (and the C runtime) read back as
// exactly `argv`.
std::wstring commandLine(const std::vector<std::string>& argv);

}  // namespace tavrik::platform
