// Hotkeys through the GlobalShortcuts portal, with sd-bus driven by the
// agent's own event loop: no thread of its own.
#include "platform/portal/global_shortcuts.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "hotkeys/hotkey_spec.h"
#include "hotkeys/key_codes.h"
#include "platform/linux/desktop.h"
#include "platform/stderr.h"

namespace tavrik::portal {
namespace {

using desktop::Millis;

constexpr const char* kService = "org.freedesktop.portal.Desktop";
constexpr const char* kPath = "/org/freedesktop/portal/desktop";
constexpr const char* kInterface = "org.freedesktop.portal.GlobalShortcuts";
constexpr std::uint64_t kCallTimeoutUsec = 10'000'000;
constexpr Millis kSessionTimeout = 10'000;
// Binding may wait for the user to confirm a dialog.
constexpr Millis kBindTimeout = 120'000;

struct Shortcut {
  std::string id;
  std::string description;
  std::string trigger;
};

sd_bus* bus = nullptr;
std::string session;
unsigned tokens = 0;
// bound()'s answer for ids 1 and 2, set by bindAll.
std::int32_t statuses[3] = {-1, -1, -1};

struct Response {
  bool done = false;
  std::uint32_t code = 2;
  std::string sessionHandle;
  std::vector<std::string> bound;  // the ids in "shortcuts"
};

// The ids of a(sa{sv}) at the read position.
void readShortcutIds(sd_bus_message* m, std::vector<std::string>& ids) {
  if (sd_bus_message_enter_container(m, 'a', "(sa{sv})") <= 0) return;
  while (sd_bus_message_enter_container(m, 'r', "sa{sv}") > 0) {
    const char* id = nullptr;
    if (sd_bus_message_read(m, "s", &id) >= 0 && id != nullptr) ids.emplace_back(id);
    sd_bus_message_skip(m, "a{sv}");
    sd_bus_message_exit_container(m);
  }
  sd_bus_message_exit_container(m);
}

int onResponse(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* r = static_cast<Response*>(userdata);
  if (sd_bus_message_read(m, "u", &r->code) < 0) return 0;
  r->done = true;
  if (sd_bus_message_enter_container(m, 'a', "{sv}") <= 0) return 0;
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* key = nullptr;
    sd_bus_message_read(m, "s", &key);
    const char* value = nullptr;
    if (key != nullptr && std::strcmp(key, "session_handle") == 0 &&
        sd_bus_message_read(m, "v", "s", &value) >= 0 && value != nullptr) {
      r->sessionHandle = value;
    } else if (key != nullptr && std::strcmp(key, "shortcuts") == 0 &&
               sd_bus_message_enter_container(m, 'v', "a(sa{sv})") > 0) {
      readShortcutIds(m, r->bound);
      sd_bus_message_exit_container(m);
    } else {
      sd_bus_message_skip(m, "v");
    }
    sd_bus_message_exit_container(m);
  }
  return 0;
}

int onActivated(sd_bus_message* m, void*, sd_bus_error*) {
  const char* from = nullptr;
  const char* id = nullptr;
  if (sd_bus_message_read(m, "os", &from, &id) < 0 || session != from) return 0;
  if (std::strcmp(id, "push") == 0) desktop::deliverPress(1);
  if (std::strcmp(id, "pull") == 0) desktop::deliverPress(2);
  return 0;
}

// Where the portal will answer a call made with `token`.
std::string requestPath(const std::string& token) {
  const char* unique = nullptr;
  sd_bus_get_unique_name(bus, &unique);
  std::string sender = unique != nullptr ? unique + 1 : "";
  for (char& c : sender) {
    if (c == '.') c = '_';
  }
  return std::string(kPath) + "/request/" + sender + "/" + token;
}

std::string newToken() { return "tavrik" + std::to_string(++tokens); }

// Runs the bus until the response arrives or the deadline passes.
bool await(const Response& r, Millis timeout) {
  const Millis deadline = desktop::monotonicMillis() + timeout;
  for (;;) {
    int processed;
    while ((processed = sd_bus_process(bus, nullptr)) > 0) {
    }
    if (r.done) return true;
    if (processed < 0) return false;
    const Millis left = deadline - desktop::monotonicMillis();
    if (left <= 0) return false;
    sd_bus_wait(bus, static_cast<std::uint64_t>(left) * 1000);
  }
}

// Sends `m` (which carries `token` as its handle_token) and waits for the
// portal's response to it.
std::optional<Response> request(sd_bus_message* m, const std::string& token, Millis timeout) {
  Response r;
  sd_bus_slot* slot = nullptr;
  sd_bus_match_signal(bus, &slot, kService, requestPath(token).c_str(),
                      "org.freedesktop.portal.Request", "Response", onResponse, &r);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  const int called = sd_bus_call(bus, m, kCallTimeoutUsec, &error, &reply);
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_message_unref(m);
  const bool answered = called >= 0 && await(r, timeout);
  sd_bus_slot_unref(slot);
  if (!answered) return std::nullopt;
  return r;
}

// Appends the shortcuts as a(sa{sv}).
bool appendShortcuts(sd_bus_message* m, const std::vector<Shortcut>& shortcuts) {
  bool built = sd_bus_message_open_container(m, 'a', "(sa{sv})") >= 0;
  for (const auto& s : shortcuts) {
    built = built && sd_bus_message_append(m, "(sa{sv})", s.id.c_str(), 2, "description", "s",
                                           s.description.c_str(), "preferred_trigger", "s",
                                           s.trigger.c_str()) >= 0;
  }
  return built && sd_bus_message_close_container(m) >= 0;
}

// KDE before Plasma 6.1 registers only the shortcuts declared here.
bool createSession(const std::vector<Shortcut>& shortcuts) {
  const std::string token = newToken();
  sd_bus_message* m = nullptr;
  const bool built =
      sd_bus_message_new_method_call(bus, &m, kService, kPath, kInterface, "CreateSession") >= 0 &&
      sd_bus_message_open_container(m, 'a', "{sv}") >= 0 &&
      sd_bus_message_append(m, "{sv}", "handle_token", "s", token.c_str()) >= 0 &&
      sd_bus_message_append(m, "{sv}", "session_handle_token", "s", "tavrik") >= 0 &&
      sd_bus_message_open_container(m, 'e', "sv") >= 0 &&
      sd_bus_message_append(m, "s", "shortcuts") >= 0 &&
      sd_bus_message_open_container(m, 'v', "a(sa{sv})") >= 0 && appendShortcuts(m, shortcuts) &&
      sd_bus_message_close_container(m) >= 0 && sd_bus_message_close_container(m) >= 0 &&
      sd_bus_message_close_container(m) >= 0;
  if (!built) {
    sd_bus_message_unref(m);
    return false;
  }
  const auto r = request(m, token, kSessionTimeout);
  if (!r || r->code != 0 || r->sessionHandle.empty()) return false;
  session = r->sessionHandle;
  return true;
}

std::optional<Response> bindShortcuts(const std::vector<Shortcut>& shortcuts) {
  const std::string token = newToken();
  sd_bus_message* m = nullptr;
  const bool built =
      sd_bus_message_new_method_call(bus, &m, kService, kPath, kInterface, "BindShortcuts") >= 0 &&
      sd_bus_message_append(m, "o", session.c_str()) >= 0 && appendShortcuts(m, shortcuts) &&
      sd_bus_message_append(m, "sa{sv}", "", 1, "handle_token", "s", token.c_str()) >= 0;
  if (!built) {
    sd_bus_message_unref(m);
    return std::nullopt;
  }
  return request(m, token, kBindTimeout);
}

class Bus final : public desktop::Source {
 public:
  std::optional<Millis> prepare() override {
    while (sd_bus_process(bus, nullptr) > 0) {
    }
    sd_bus_flush(bus);
    std::uint64_t usec = 0;
    if (sd_bus_get_timeout(bus, &usec) < 0 || usec == UINT64_MAX) return std::nullopt;
    return static_cast<Millis>(usec / 1000);  // both count CLOCK_MONOTONIC
  }
  void watch(std::vector<pollfd>& fds) override {
    fds.push_back({sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0});
  }
  bool handle(std::span<const pollfd> fds) override {
    if (fds.empty() || fds[0].revents == 0) return true;
    int processed;
    while ((processed = sd_bus_process(bus, nullptr)) > 0) {
    }
    if (processed < 0) {
      platform::writeStderr("tavrik: mất kết nối với D-Bus (" +
                            std::string(std::strerror(-processed)) + ")\n");
      return false;
    }
    return true;
  }
};

std::string keyName(std::uint32_t keyCode) {
  for (const auto& k : keyCodes) {
    if (k.code != keyCode) continue;
    const std::string_view n = k.name;
    if (n.size() == 1 || n == "space") return std::string(n);
    if (n == "return") return "Return";
    if (n == "tab") return "Tab";
    if (n == "escape") return "Escape";
    std::string f = "F";  // f1..f12; not "F" + string: GCC 12 warns falsely (-Wrestrict)
    return f.append(n.substr(1));
  }
  return {};
}

}  // namespace

std::string triggerFor(std::uint32_t keyCode, std::uint32_t modifiers) {
  const std::string key = keyName(keyCode);
  if (key.empty()) return {};
  std::string trigger;
  if (modifiers & kModControl) trigger += "CTRL+";
  if (modifiers & kModOption) trigger += "ALT+";
  if (modifiers & kModShift) trigger += "SHIFT+";
  if (modifiers & kModCommand) trigger += "LOGO+";
  return trigger + key;
}

bool connect() {
  if (sd_bus_open_user(&bus) < 0) {
    bus = nullptr;
    return false;
  }
  sd_bus_set_method_call_timeout(bus, kCallTimeoutUsec);
  std::uint32_t version = 0;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  const int got = sd_bus_get_property_trivial(bus, kService, kPath, kInterface, "version", &error,
                                              'u', &version);
  sd_bus_error_free(&error);
  if (got < 0) {
    bus = sd_bus_flush_close_unref(bus);
    return false;
  }
  sd_bus_match_signal(bus, nullptr, kService, kPath, kInterface, "Activated", onActivated, nullptr);
  desktop::addSource(new Bus);  // kept for the life of the process
  return true;
}

void bindAll(std::span<const platform::HotKeyRequest> all) {
  if (bus == nullptr) return;  // every status stays -1
  std::vector<Shortcut> shortcuts;
  std::vector<std::uint32_t> ids;
  for (const auto& h : all) {
    const std::string trigger = triggerFor(h.keyCode, h.modifiers);
    const std::uint32_t id = h.id.id;
    if (id != 1 && id != 2) continue;
    if (trigger.empty()) {
      statuses[id] = -9879;
      continue;
    }
    const bool push = id == 1;
    shortcuts.push_back({push ? "push" : "pull",
                         push ? "Gửi clipboard sang máy kia" : "Lấy chữ từ máy kia về clipboard",
                         trigger});
    ids.push_back(id);
  }
  if (shortcuts.empty() || !createSession(shortcuts)) return;
  const auto r = bindShortcuts(shortcuts);
  if (!r) return;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    std::int32_t& status = statuses[ids[i]];
    if (r->code == 1) {
      status = -128;
    } else if (r->code != 0) {
      status = -9878;
    } else {
      // Answered 0, yet bound only what it lists.
      const bool listed =
          std::find(r->bound.begin(), r->bound.end(), shortcuts[i].id) != r->bound.end();
      status = listed ? 0 : kNotBound;
    }
  }
}

std::int32_t bound(platform::EventHotKeyID id) {
  return id.id == 1 || id.id == 2 ? statuses[id.id] : -9879;
}

}  // namespace tavrik::portal
