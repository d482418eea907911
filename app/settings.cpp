#include "app/settings.h"

#include <string_view>

namespace tavrik {

Settings readCommandLine(std::span<const std::string> arguments) {
  Settings s;
  auto args = arguments.empty() ? arguments : arguments.subspan(1);
  // Strictly pairwise: a value that looks like an option is still a value,
  // an unknown name swallows its value, a lone last argument is ignored.
  while (args.size() >= 2) {
    const std::string_view name = args[0];
    const std::string& value = args[1];
    args = args.subspan(2);
    if (name == "--node") {
      s.nodePath = value;
    } else if (name == "--cli") {
      s.cliPath = value;
    } else if (name == "--copy") {
      s.copySpec = value;
    } else if (name == "--paste") {
      s.pasteSpec = value;
    }
  }
  return s;
}

}  // namespace tavrik
