#pragma once

// The pure parts of the programs that stand in for osascript and afplay
// on Linux and Windows.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik::standin {

struct Notification {
  std::string title;
  std::string body;
  bool operator==(const Notification&) const = default;
};

// Reads exactly `display notification <literal> with title <literal>`,
// where a literal is a double-quoted text with \\ and \" escaped; nothing
// for any other script.
std::optional<Notification> parseNotificationScript(std::string_view script);

// notify-send's command line; the body is notification markup.
std::vector<std::string> notifySendArguments(const Notification& n);

// The notification as one line, for a log when none can be shown.
std::string notificationLine(const Notification& n);

// The file to play for the path the agent names: the two system sounds are
// the freedesktop theme's `complete` and `dialog-error`, looked up in the
// data directories (XDG_DATA_DIRS order); any other path is itself.
std::optional<std::string> soundFileFor(std::string_view path,
                                        const std::vector<std::string>& dataDirs);

// XDG_DATA_DIRS as a list, with its documented default.
std::vector<std::string> dataDirsFrom(const char* xdgDataDirs);

// `name` found in the PATH-style list `path`; nothing when absent.
std::optional<std::string> findProgram(std::string_view name, std::string_view path);

}  // namespace tavrik::standin
