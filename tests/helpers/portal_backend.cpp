// A GlobalShortcuts portal backend for the tests, behind the real
// xdg-desktop-portal frontend. It owns
// org.freedesktop.impl.portal.desktop.tavriktest and prints "ready", then
// "bind" and every string of each BindShortcuts call. Each "ID" written to
// its standard input sends Activated for it.
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
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

int bindShortcuts(sd_bus_message* m, void*, sd_bus_error*) {
  std::string line = "bind";
  sd_bus_message_skip(m, "oo");
  strings(m, line);
  say(line);
  return sd_bus_reply_method_return(m, "ua{sv}", 0u, 0);
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
