// The application id a portal reads from a process's systemd unit.
#include <cctype>
#include <string>
#include <string_view>

#include "platform/linux/portal/global_shortcuts.h"

namespace tavrik::portal {
namespace {

// X.Y.Z, each part not empty (a part may itself hold dots).
bool threeParts(std::string_view id) {
  const auto first = id.find('.', 1);
  if (first == std::string_view::npos) return false;
  const auto second = id.find('.', first + 2);
  return second != std::string_view::npos && second + 1 < id.size();
}

// What may follow the id: [@-]ALNUM* and then -autostart, each optional.
bool idTail(std::string_view t) {
  if (t.empty() || t == "-autostart") return true;
  if (t[0] != '@' && t[0] != '-') return false;
  std::size_t i = 1;
  while (i < t.size() && std::isalnum(static_cast<unsigned char>(t[i]))) ++i;
  t.remove_prefix(i);
  return t.empty() || t == "-autostart";
}

}  // namespace

std::string appIdOfUnit(std::string_view unit) {
  if (!unit.starts_with("app-")) return {};
  std::string_view body = unit.substr(4);
  bool typed = false;
  for (std::string_view type : {".scope", ".service", ".slice"}) {
    if (!typed && body.ends_with(type)) {
      body.remove_suffix(type.size());
      typed = true;
    }
  }
  if (!typed) return {};
  // As the portal reads it: with a launcher ("gnome-") if that gives an id,
  // else without; the shortest id that leaves a valid tail.
  std::size_t launcher = 0;
  while (launcher < body.size() && std::isalnum(static_cast<unsigned char>(body[launcher]))) {
    ++launcher;
  }
  const bool hasLauncher = launcher > 0 && launcher < body.size() && body[launcher] == '-';
  for (const std::size_t start : {hasLauncher ? launcher + 1 : std::size_t{0}, std::size_t{0}}) {
    for (std::size_t end = start + 1; end <= body.size(); ++end) {
      const std::string_view id = body.substr(start, end - start);
      if (threeParts(id) && idTail(body.substr(end))) return std::string(id);
    }
  }
  return {};
}

}  // namespace tavrik::portal
