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
    } else if (name == "--timeout") {
      s.timeout = value;
    } else if (name == "--clear-secrets") {
      s.clearSecrets = value;
    }
  }
  return s;
}

namespace {

// Up to a million seconds: far beyond any sensible wait, and far from
// overflowing a deadline.
std::optional<std::chrono::seconds> parseSeconds(std::string_view text) {
  constexpr long long kMax = 1'000'000;
  if (text.empty()) return std::nullopt;
  long long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > kMax) return std::nullopt;
  }
  return std::chrono::seconds(value);
}

}  // namespace

std::optional<std::chrono::seconds> parseTimeout(std::string_view text) {
  const auto seconds = parseSeconds(text);
  if (seconds && seconds->count() == 0) return std::nullopt;
  return seconds;
}

std::optional<std::chrono::seconds> parseClearSecrets(std::string_view text) {
  return parseSeconds(text);
}

}  // namespace tavrik
