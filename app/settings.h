#pragma once

#include <span>
#include <string>

namespace tavrik {

struct Settings {
  std::string nodePath = "/usr/bin/env";
  std::string cliPath;
  std::string copySpec = "ctrl+alt+c";
  std::string pasteSpec = "ctrl+alt+b";
};

// Reads name-value pairs two at a time from the arguments after the
// program's own path. Values are kept verbatim; checks nothing.
Settings readCommandLine(std::span<const std::string> arguments);

}  // namespace tavrik
