#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tavrik {

struct Settings {
  std::string nodePath = "/usr/bin/env";
  std::string cliPath;
  std::string copySpec = "ctrl+alt+c";
  std::string pasteSpec = "ctrl+alt+b";
  std::string timeout = "120";      // seconds a companion run may take
  std::string clearSecrets = "45";  // seconds a pulled secret stays; 0: always
};

// Reads name-value pairs two at a time from the arguments after the
// program's own path. Values are kept verbatim; checks nothing.
Settings readCommandLine(std::span<const std::string> arguments);

// A positive whole number of seconds, digits only; nothing otherwise.
std::optional<std::chrono::seconds> parseTimeout(std::string_view text);

// The same, where 0 (never) is allowed too.
std::optional<std::chrono::seconds> parseClearSecrets(std::string_view text);

}  // namespace tavrik
