#include "platform/standin/standin.h"

#include <unistd.h>

namespace tavrik::standin {
namespace {

// Reads one literal at the front of `s`, advancing past it.
std::optional<std::string> takeLiteral(std::string_view& s) {
  if (s.empty() || s.front() != '"') return std::nullopt;
  std::string out;
  for (std::size_t i = 1; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '"') {
      s.remove_prefix(i + 1);
      return out;
    }
    if (c == '\\') {
      // The agent escapes nothing else; anything else is not ours.
      if (i + 1 == s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) return std::nullopt;
      ++i;
    }
    out += s[i];
  }
  return std::nullopt;  // unterminated
}

bool takeWord(std::string_view& s, std::string_view word) {
  if (!s.starts_with(word)) return false;
  s.remove_prefix(word.size());
  return true;
}

// A colon-separated list, empty entries dropped.
std::vector<std::string> splitList(std::string_view list) {
  std::vector<std::string> items;
  while (!list.empty()) {
    const auto colon = list.find(':');
    if (colon != 0) items.emplace_back(list.substr(0, colon));
    if (colon == std::string_view::npos) break;
    list.remove_prefix(colon + 1);
  }
  return items;
}

std::string escapeMarkup(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace

std::optional<Notification> parseNotificationScript(std::string_view script) {
  if (!takeWord(script, "display notification ")) return std::nullopt;
  auto body = takeLiteral(script);
  if (!body || !takeWord(script, " with title ")) return std::nullopt;
  auto title = takeLiteral(script);
  if (!title || !script.empty()) return std::nullopt;
  return Notification{std::move(*title), std::move(*body)};
}

std::vector<std::string> notifySendArguments(const Notification& n) {
  return {"notify-send", "--app-name=tavrik", "--", n.title, escapeMarkup(n.body)};
}

std::string notificationLine(const Notification& n) {
  std::string line = "tavrik: [" + n.title + "] " + n.body;
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return line + '\n';
}

std::optional<std::string> soundFileFor(std::string_view path,
                                        const std::vector<std::string>& dataDirs) {
  std::string_view theme;
  if (path == "/System/Library/Sounds/Glass.aiff") theme = "complete";
  if (path == "/System/Library/Sounds/Basso.aiff") theme = "dialog-error";
  if (theme.empty()) {
    const std::string file(path);
    if (::access(file.c_str(), R_OK) != 0) return std::nullopt;
    return file;
  }
  for (const auto& dir : dataDirs) {
    for (const char* ext : {".oga", ".ogg", ".wav"}) {
      const std::string file = dir + "/sounds/freedesktop/stereo/" + std::string(theme) + ext;
      if (::access(file.c_str(), R_OK) == 0) return file;
    }
  }
  return std::nullopt;
}

std::vector<std::string> dataDirsFrom(const char* xdgDataDirs) {
  return splitList(xdgDataDirs && *xdgDataDirs ? xdgDataDirs : "/usr/local/share:/usr/share");
}

std::optional<std::string> findProgram(std::string_view name, std::string_view path) {
  for (const auto& dir : splitList(path)) {
    const std::string file = dir + "/" + std::string(name);
    if (::access(file.c_str(), X_OK) == 0) return file;
  }
  return std::nullopt;
}

}  // namespace tavrik::standin
