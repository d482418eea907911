// Gives a headless mutter's seat a keyboard, so that its clients can get
// focus: a RemoteDesktop session with a virtual keyboard, on the session
// bus. Prints "ready" once the session runs; ends it at end of input.
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr const char* kService = "org.gnome.Mutter.RemoteDesktop";

int fail(const char* what, int r, const sd_bus_error& error) {
  std::fprintf(stderr, "remote_keyboard: %s: %s\n", what,
               error.message != nullptr ? error.message : std::strerror(-r));
  return 1;
}

}  // namespace

int main() {
  sd_bus* bus = nullptr;
  if (const int r = sd_bus_open_user(&bus); r < 0) {
    return fail("session bus", r, SD_BUS_ERROR_NULL);
  }
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call_method(bus, kService, "/org/gnome/Mutter/RemoteDesktop", kService,
                             "CreateSession", &error, &reply, "");
  if (r < 0) return fail("CreateSession", r, error);
  const char* path = nullptr;
  sd_bus_message_read(reply, "o", &path);
  const std::string session = path;
  sd_bus_message_unref(reply);
  const std::string interface = std::string(kService) + ".Session";
  r = sd_bus_call_method(bus, kService, session.c_str(), interface.c_str(), "Start", &error,
                         nullptr, "");
  if (r < 0) return fail("Start", r, error);
  // The seat gains its keyboard with the first key event.
  constexpr unsigned kShiftL = 0xffe1;
  for (const int down : {1, 0}) {
    r = sd_bus_call_method(bus, kService, session.c_str(), interface.c_str(),
                           "NotifyKeyboardKeysym", &error, nullptr, "ub", kShiftL, down);
    if (r < 0) return fail("NotifyKeyboardKeysym", r, error);
  }
  std::printf("ready\n");
  std::fflush(stdout);
  char buffer[64];
  while (read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
  }
  sd_bus_call_method(bus, kService, session.c_str(), interface.c_str(), "Stop", &error, nullptr,
                     "");
  sd_bus_flush_close_unref(bus);
  return 0;
}
