// The desktop's notification server, for the tests: owns
// org.freedesktop.Notifications on the session bus and appends each Notify
// to the file named by its argument as a feedback record (fields ended by
// \x1f, the record by \x1e): notify, application name, desktop-entry hint,
// urgency (low, normal, critical), whether it replaced the bubble the same
// client had, title, body. Given a second file, it is also the settings
// portal: the desktop's sound theme and event-sounds switch are that file's
// first two lines, GNOME's keys unless a third line says "kde" (Plasma's,
// as text); none while it is missing. Says "ready" once the names are its
// own; ends when its standard input or its bus does.
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>

namespace {

const char* logPath;
const char* settingsPath;
std::uint32_t issued = 0;
std::map<std::string, std::uint32_t> lastOf;  // each client's last bubble

int notify(sd_bus_message* m, void*, sd_bus_error*) {
  const char *app, *icon, *title, *body;
  std::uint32_t replaces;
  if (sd_bus_message_read(m, "susss", &app, &replaces, &icon, &title, &body) < 0) return -EINVAL;
  if (sd_bus_message_skip(m, "as") < 0 || sd_bus_message_enter_container(m, 'a', "{sv}") < 0) {
    return -EINVAL;
  }
  std::string entry = "-", urgency = "normal";
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* key;
    sd_bus_message_read(m, "s", &key);
    const char* s;
    std::uint8_t level;
    if (std::strcmp(key, "desktop-entry") == 0 && sd_bus_message_read(m, "v", "s", &s) >= 0) {
      entry = s;
    } else if (std::strcmp(key, "urgency") == 0 && sd_bus_message_read(m, "v", "y", &level) >= 0) {
      urgency = level == 0 ? "low" : level == 2 ? "critical" : "normal";
    } else {
      sd_bus_message_skip(m, "v");
    }
    sd_bus_message_exit_container(m);
  }
  const std::string sender = sd_bus_message_get_sender(m);
  const bool replaced = replaces != 0 && lastOf.count(sender) && lastOf[sender] == replaces;
  const std::uint32_t id = replaced ? replaces : ++issued;
  lastOf[sender] = id;
  std::ofstream(logPath, std::ios::app)
      << "notify\x1f" << app << '\x1f' << entry << '\x1f' << urgency << '\x1f'
      << (replaced ? "replaced" : "new") << '\x1f' << title << '\x1f' << body << "\x1f\x1e";
  return sd_bus_reply_method_return(m, "u", id);
}

int capabilities(sd_bus_message* m, void*, sd_bus_error*) {
  return sd_bus_reply_method_return(m, "as", 1, "body");
}

int information(sd_bus_message* m, void*, sd_bus_error*) {
  return sd_bus_reply_method_return(m, "ssss", "tavrik-tests", "tavrik", "0", "1.2");
}

int readAll(sd_bus_message* m, void*, sd_bus_error*) {
  std::ifstream in(settingsPath);
  std::string theme, on, kde;
  sd_bus_message* reply = nullptr;
  sd_bus_message_new_method_return(m, &reply);
  if (!std::getline(in, theme) || !std::getline(in, on)) {
    sd_bus_message_append(reply, "a{sa{sv}}", 0);
  } else if (std::getline(in, kde) && kde == "kde") {
    sd_bus_message_append(reply, "a{sa{sv}}", 1, "org.kde.kdeglobals.Sounds", 2, "Theme", "s",
                          theme.c_str(), "Enable", "s", on.c_str());
  } else {
    sd_bus_message_append(reply, "a{sa{sv}}", 1, "org.gnome.desktop.sound", 2, "theme-name", "s",
                          theme.c_str(), "event-sounds", "b", on == "true");
  }
  const int r = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  return r;
}

const sd_bus_vtable settings[] = {SD_BUS_VTABLE_START(0),
                                  SD_BUS_METHOD("ReadAll", "as", "a{sa{sv}}", readAll, 0),
                                  SD_BUS_VTABLE_END};

const sd_bus_vtable vtable[] = {
    SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, 0),
    SD_BUS_METHOD("GetCapabilities", "", "as", capabilities, 0),
    SD_BUS_METHOD("GetServerInformation", "", "ssss", information, 0), SD_BUS_VTABLE_END};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) return 2;
  logPath = argv[1];
  settingsPath = argc == 3 ? argv[2] : nullptr;
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return 1;
  if (sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/Notifications",
                               "org.freedesktop.Notifications", vtable, nullptr) < 0 ||
      sd_bus_request_name(bus, "org.freedesktop.Notifications", 0) < 0) {
    return 1;
  }
  if (settingsPath &&
      (sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/portal/desktop",
                                "org.freedesktop.portal.Settings", settings, nullptr) < 0 ||
       sd_bus_request_name(bus, "org.freedesktop.portal.Desktop", 0) < 0)) {
    return 1;
  }
  std::puts("ready");
  std::fflush(stdout);
  for (;;) {
    int processed;
    while ((processed = sd_bus_process(bus, nullptr)) > 0) {
    }
    if (processed < 0) return 0;  // the bus is gone
    sd_bus_flush(bus);
    pollfd fds[2] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0},
                     {0, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    char c;
    if (fds[1].revents != 0 && ::read(0, &c, 1) <= 0) return 0;
  }
}
