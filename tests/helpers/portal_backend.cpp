// A GlobalShortcuts portal backend for the tests, behind the real
// xdg-desktop-portal frontend. It owns
// org.freedesktop.impl.portal.desktop.tavriktest and prints "ready", then
// "bind ID=TRIGGER ..." for each BindShortcuts call (its shortcuts in
// order). Each "ID" written to its standard input sends Activated for it.
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr const char* kPath = "/org/freedesktop/portal/desktop";
constexpr const char* kInterface = "org.freedesktop.impl.portal.GlobalShortcuts";

std::string session;

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

int createSession(sd_bus_message* m, void*, sd_bus_error*) {
  const char* handle = nullptr;
  const char* sessionHandle = nullptr;
  sd_bus_message_read(m, "oo", &handle, &sessionHandle);
  session = sessionHandle;
  return sd_bus_reply_method_return(m, "ua{sv}", 0u, 1, "session_id", "s", "tavriktest");
}

int bindShortcuts(sd_bus_message* m, void*, sd_bus_error*) {
  const char* handle = nullptr;
  const char* sessionHandle = nullptr;
  sd_bus_message_read(m, "oo", &handle, &sessionHandle);
  std::string line = "bind";
  sd_bus_message* reply = nullptr;
  sd_bus_message_new_method_return(m, &reply);
  sd_bus_message_append(reply, "u", 0u);
  sd_bus_message_open_container(reply, 'a', "{sv}");
  sd_bus_message_open_container(reply, 'e', "sv");
  sd_bus_message_append(reply, "s", "shortcuts");
  sd_bus_message_open_container(reply, 'v', "a(sa{sv})");
  sd_bus_message_open_container(reply, 'a', "(sa{sv})");
  sd_bus_message_enter_container(m, 'a', "(sa{sv})");
  while (sd_bus_message_enter_container(m, 'r', "sa{sv}") > 0) {
    const char* id = nullptr;
    sd_bus_message_read(m, "s", &id);
    std::string trigger;
    sd_bus_message_enter_container(m, 'a', "{sv}");
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
      const char* key = nullptr;
      const char* value = nullptr;
      sd_bus_message_read(m, "s", &key);
      if (std::strcmp(key, "preferred_trigger") == 0) {
        sd_bus_message_read(m, "v", "s", &value);
        trigger = value;
      } else {
        sd_bus_message_skip(m, "v");
      }
      sd_bus_message_exit_container(m);
    }
    sd_bus_message_exit_container(m);
    sd_bus_message_exit_container(m);
    line += std::string(" ") + id + "=" + trigger;
    sd_bus_message_append(reply, "(sa{sv})", id, 2, "description", "s", id, "trigger_description",
                          "s", trigger.c_str());
  }
  sd_bus_message_exit_container(m);
  for (int i = 0; i < 4; ++i) sd_bus_message_close_container(reply);
  say(line);
  const int sent = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  return sent;
}

int version(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
            sd_bus_error*) {
  return sd_bus_message_append(reply, "u", 1u);
}

const sd_bus_vtable vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("CreateSession", "oosa{sv}", "ua{sv}", createSession, 0),
    SD_BUS_METHOD("BindShortcuts", "ooa(sa{sv})sa{sv}", "ua{sv}", bindShortcuts, 0),
    SD_BUS_PROPERTY("version", "u", version, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_SIGNAL("Activated", "osta{sv}", 0),
    SD_BUS_VTABLE_END};

}  // namespace

int main() {
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
    sd_bus_emit_signal(bus, kPath, kInterface, "Activated", "osta{sv}", session.c_str(), id,
                       std::uint64_t{0}, 0);
  }
}
