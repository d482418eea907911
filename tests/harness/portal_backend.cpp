// A GlobalShortcuts portal backend for the tests, behind the real
// xdg-desktop-portal frontend. It owns
// org.freedesktop.impl.portal.desktop.tavriktest and prints "ready", then
// "session APP_ID" for each CreateSession, "list" for each ListShortcuts,
// and "bind" with every string of each BindShortcuts call. Each "ID"
// written to its standard input sends Activated for it, if it is bound.
// What it binds, it keeps for its life (as a desktop keeps it) and lists.
// Its arguments play desktops: "session" binds only what CreateSession
// declared (KDE before Plasma 6.1) and says "declared N", "empty" nothing while answering 0,
// "gnome" answers 2 and binds only for a valid application id (GNOME 48),
// "late" keeps the answer until "answer" is written to it (a dialog open).
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kPath = "/org/freedesktop/portal/desktop";
constexpr const char* kInterface = "org.freedesktop.impl.portal.GlobalShortcuts";

std::string session;
std::vector<std::string> modes;
std::string appId;
std::vector<std::string> declared;  // the ids given at CreateSession
std::vector<std::string> bound;     // only these are ever activated
sd_bus_message* held = nullptr;     // a BindShortcuts not answered yet

bool mode(const char* name) { return std::find(modes.begin(), modes.end(), name) != modes.end(); }

// The ids of the a(sa{sv}) at the read position.
std::vector<std::string> ids(sd_bus_message* m) {
  std::vector<std::string> out;
  sd_bus_message_enter_container(m, 'a', "(sa{sv})");
  while (sd_bus_message_enter_container(m, 'r', "sa{sv}") > 0) {
    const char* id = nullptr;
    sd_bus_message_read(m, "s", &id);
    out.emplace_back(id);
    sd_bus_message_skip(m, "a{sv}");
    sd_bus_message_exit_container(m);
  }
  sd_bus_message_exit_container(m);
  return out;
}

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

int createSession(sd_bus_message* m, void*, sd_bus_error*) {
  const char* handle = nullptr;
  const char* sessionHandle = nullptr;
  const char* app = nullptr;
  sd_bus_message_read(m, "oos", &handle, &sessionHandle, &app);
  session = sessionHandle;
  appId = app;
  say("session " + appId);
  sd_bus_message_enter_container(m, 'a', "{sv}");
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* key = nullptr;
    sd_bus_message_read(m, "s", &key);
    if (std::strcmp(key, "shortcuts") == 0 &&
        sd_bus_message_enter_container(m, 'v', "a(sa{sv})") > 0) {
      declared = ids(m);
      sd_bus_message_exit_container(m);
    } else {
      sd_bus_message_skip(m, "v");
    }
    sd_bus_message_exit_container(m);
  }
  // Frontends from 1.20 on pass only the tokens: nothing is declared then.
  if (mode("session")) say("declared " + std::to_string(declared.size()));
  return sd_bus_reply_method_return(m, "ua{sv}", 0u, 1, "session_id", "s", "tavriktest");
}

// Every string in the rest of `m`, in order, each after a space.
void strings(sd_bus_message* m, std::string& out) {
  char type = 0;
  const char* contents = nullptr;
  while (sd_bus_message_peek_type(m, &type, &contents) > 0) {
    const char* s = nullptr;
    if (type == 's' && sd_bus_message_read_basic(m, 's', &s) >= 0) {
      out += std::string(" ") + s;
    } else if (contents != nullptr && sd_bus_message_enter_container(m, type, contents) >= 0) {
      strings(m, out);
      sd_bus_message_exit_container(m);
    } else if (sd_bus_message_skip(m, nullptr) < 0) {
      return;
    }
  }
}

// Answers `m` with `code` and the bound shortcuts.
int answer(sd_bus_message* m, std::uint32_t code) {
  sd_bus_message* reply = nullptr;
  sd_bus_message_new_method_return(m, &reply);
  sd_bus_message_append(reply, "u", code);
  sd_bus_message_open_container(reply, 'a', "{sv}");
  sd_bus_message_open_container(reply, 'e', "sv");
  sd_bus_message_append(reply, "s", "shortcuts");
  sd_bus_message_open_container(reply, 'v', "a(sa{sv})");
  sd_bus_message_open_container(reply, 'a', "(sa{sv})");
  for (const auto& id : bound) {
    sd_bus_message_append(reply, "(sa{sv})", id.c_str(), 1, "trigger_description", "s", "?");
  }
  for (int i = 0; i < 4; ++i) sd_bus_message_close_container(reply);
  const int sent = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  return sent;
}

// GNOME 48 binds only for an application it can name, and answers 2 anyway.
std::uint32_t code() { return mode("gnome") ? 2u : 0u; }

int bindShortcuts(sd_bus_message* m, void*, sd_bus_error*) {
  std::string line = "bind";
  sd_bus_message_skip(m, "oo");
  std::vector<std::string> asked = ids(m);
  sd_bus_message_rewind(m, true);
  sd_bus_message_skip(m, "oo");
  strings(m, line);
  say(line);
  if (mode("session")) asked = declared;
  if (mode("empty") || (mode("gnome") && appId.find('.') == std::string::npos)) asked.clear();
  for (const auto& id : asked) {
    if (std::find(bound.begin(), bound.end(), id) == bound.end()) bound.push_back(id);
  }
  if (!mode("late")) return answer(m, code());
  held = sd_bus_message_ref(m);
  return 1;
}

int listShortcuts(sd_bus_message* m, void*, sd_bus_error*) {
  say("list");
  return answer(m, code());
}

int version(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
            sd_bus_error*) {
  return sd_bus_message_append(reply, "u", 1u);
}

const sd_bus_vtable vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("CreateSession", "oosa{sv}", "ua{sv}", createSession, 0),
    SD_BUS_METHOD("BindShortcuts", "ooa(sa{sv})sa{sv}", "ua{sv}", bindShortcuts, 0),
    SD_BUS_METHOD("ListShortcuts", "oo", "ua{sv}", listShortcuts, 0),
    SD_BUS_PROPERTY("version", "u", version, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_SIGNAL("Activated", "osta{sv}", 0),
    SD_BUS_VTABLE_END};

}  // namespace

int main(int argc, char** argv) {
  modes.assign(argv + 1, argv + argc);
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return 1;
  if (sd_bus_add_object_vtable(bus, nullptr, kPath, kInterface, vtable, nullptr) < 0) return 1;
  if (sd_bus_request_name(bus, "org.freedesktop.impl.portal.desktop.tavriktest", 0) < 0) return 1;
  say("ready");
  for (;;) {
    while (sd_bus_process(bus, nullptr) > 0) {
    }
    sd_bus_flush(bus);
    pollfd fds[2] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0},
                     {0, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 || fds[1].revents == 0) continue;
    // The test writes one short line at a time: it arrives whole.
    char id[64];
    const ssize_t n = ::read(0, id, sizeof id - 1);
    if (n <= 0) return 0;  // the test is done with us
    id[n - 1] = '\0';
    if (std::strcmp(id, "answer") == 0 && held != nullptr) {
      answer(held, code());
      held = sd_bus_message_unref(held);
      continue;
    }
    if (std::find(bound.begin(), bound.end(), id) == bound.end()) continue;
    sd_bus_emit_signal(bus, kPath, kInterface, "Activated", "osta{sv}", session.c_str(), id,
                       std::uint64_t{0}, 0);
  }
}
