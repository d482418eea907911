// Notifications over the session bus (org.freedesktop.Notifications), sent
// from the event loop without waiting for the answer; sounds of the
// desktop's sound theme, played by libcanberra as the desktop's settings
// portal says (which theme, whether at all).
#include "platform/feedback.h"

#include <canberra.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/linux/bus_source.h"
#include "platform/linux/portal/global_shortcuts.h"  // kAppId
#include "platform/queues.h"
#include "platform/stderr.h"

namespace tavrik {
namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
// A server that has not answered by then is taken as none.
constexpr std::uint64_t kAnswerUsec = 5'000'000;
constexpr std::uint8_t kNormal = 1, kCritical = 2;

// Where no server shows it (none, an error, no answer in time).
void tellInstead(const platform::Notice& n) { platform::writeStderr(platform::lineFor(n)); }

// The session bus connection, made at the first notice and kept: its
// messages go out and come in as the loop turns.
class Bus final : public desktop::BusSource {
 public:
  // The connection's bus; null where there is none, or it broke.
  static sd_bus* get() {
    static Bus* kept = [] {
      sd_bus* b = nullptr;
      if (sd_bus_open_user(&b) < 0) return static_cast<Bus*>(nullptr);
      auto* made = new Bus(b);  // kept for the life of the process
      desktop::addSource(made);
      return made;
    }();
    return kept == nullptr || kept->broken_ ? nullptr : kept->bus_;
  }
  std::optional<desktop::Millis> prepare() override {
    return broken_ ? std::nullopt : BusSource::prepare();
  }
  void watch(std::vector<pollfd>& fds) override {
    if (!broken_) BusSource::watch(fds);
  }

 private:
  using BusSource::BusSource;
  // Notices are not worth the agent: the next ones go to the log.
  bool lost(int) override { return broken_ = true; }
  bool broken_ = false;
};

// The server's id of the last notice: the next one replaces it, so a burst
// of presses updates one bubble.
std::uint32_t lastId = 0;

int answered(sd_bus_message* reply, void* data, sd_bus_error*) {
  const std::unique_ptr<platform::Notice> n(static_cast<platform::Notice*>(data));
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    tellInstead(*n);
  } else if (std::uint32_t id = 0; sd_bus_message_read(reply, "u", &id) >= 0) {
    lastId = id;
  }
  return 0;
}

// Main thread.
void send(const platform::Notice& n) {
  sd_bus* bus = Bus::get();
  if (bus == nullptr) return tellInstead(n);
  sd_bus_message* m = nullptr;
  int r = sd_bus_message_new_method_call(bus, &m, kService, kPath, kService, "Notify");
  if (r >= 0) {
    r = sd_bus_message_append(m, "susssas", "tavrik", lastId,
                              n.success ? "dialog-information" : "dialog-error", n.title.c_str(),
                              n.body.c_str(), 0);
  }
  if (r >= 0) {
    r = sd_bus_message_append(m, "a{sv}i", 2, "desktop-entry", "s", portal::kAppId.data(),
                              "urgency", "y", n.success ? kNormal : kCritical, -1);
  }
  auto* data = new platform::Notice(n);
  if (r >= 0) r = sd_bus_call_async(bus, nullptr, m, answered, data, kAnswerUsec);
  sd_bus_message_unref(m);
  if (r < 0) {
    delete data;
    tellInstead(n);
  }
}

// The desktop's choice of sound theme and whether event sounds play at all,
// as its settings portal tells them (GNOME's keys, or Plasma's, which may come
// as text); the defaults where it tells nothing.
constexpr std::uint64_t kSettingsUsec = 1'000'000;
struct SoundSettings {
  std::string theme = "freedesktop";
  bool on = true;
};

SoundSettings soundSettings(sd_bus_message* reply) {
  using namespace std::string_view_literals;
  SoundSettings s;
  if (sd_bus_message_is_method_error(reply, nullptr) ||
      sd_bus_message_enter_container(reply, 'a', "{sa{sv}}") <= 0) {
    return s;
  }
  const char *name, *key, *text;
  int on;
  while (sd_bus_message_enter_container(reply, 'e', "sa{sv}") > 0 &&
         sd_bus_message_read(reply, "s", &name) >= 0 &&
         sd_bus_message_enter_container(reply, 'a', "{sv}") > 0) {
    while (sd_bus_message_enter_container(reply, 'e', "sv") > 0 &&
           sd_bus_message_read(reply, "s", &key) >= 0) {
      const bool theme = key == "theme-name"sv || key == "Theme"sv;
      const bool sounds = key == "event-sounds"sv || key == "Enable"sv;
      if (theme && sd_bus_message_read(reply, "v", "s", &text) >= 0) {
        if (*text) s.theme = text;
      } else if (sounds && sd_bus_message_read(reply, "v", "b", &on) >= 0) {
        s.on = on != 0;
      } else if (sounds && sd_bus_message_read(reply, "v", "s", &text) >= 0) {
        s.on = text != "false"sv;
      } else {
        sd_bus_message_skip(reply, "v");
      }
      sd_bus_message_exit_container(reply);
    }
    sd_bus_message_exit_container(reply);
    sd_bus_message_exit_container(reply);
  }
  return s;
}

// On a thread of its own: a sound server that is slow to answer holds up
// neither the loop nor the next press's tool.
void play(bool success, const SoundSettings& s) {
  if (!s.on) return;  // the user turned event sounds off
  const char* event = success ? "complete" : "dialog-error";
  const auto failed = [event, theme = s.theme](const std::string& why) {
    platform::writeStderr("tavrik: không phát được âm " + std::string(event) + " (chủ đề " + theme +
                          "): " + why + "\n");
  };
  try {
    std::thread([event, theme = s.theme, failed] {
      static ca_context* const context = [] {
        ca_context* c = nullptr;
        if (ca_context_create(&c) < 0) return static_cast<ca_context*>(nullptr);
        ca_context_change_props(c, CA_PROP_APPLICATION_NAME, "tavrik", CA_PROP_APPLICATION_ID,
                                portal::kAppId.data(), nullptr);
        return c;
      }();
      const int r = context == nullptr
                        ? CA_ERROR_OOM
                        : ca_context_play(context, 0, CA_PROP_EVENT_ID, event,
                                          CA_PROP_CANBERRA_XDG_THEME_NAME, theme.c_str(), nullptr);
      if (r < 0) failed(ca_strerror(r));
    }).detach();
  } catch (const std::system_error& e) {
    failed(e.what());
  }
}

int settingsRead(sd_bus_message* reply, void* success, sd_bus_error*) {
  play(success != nullptr, soundSettings(reply));
  return 0;
}

// Main thread.
void askAndPlay(bool success) {
  sd_bus* bus = Bus::get();
  if (bus == nullptr) return play(success, {});
  sd_bus_message* m = nullptr;
  int r = sd_bus_message_new_method_call(bus, &m, "org.freedesktop.portal.Desktop",
                                         "/org/freedesktop/portal/desktop",
                                         "org.freedesktop.portal.Settings", "ReadAll");
  if (r >= 0) {
    r = sd_bus_message_append(m, "as", 2, "org.gnome.desktop.sound", "org.kde.kdeglobals.Sounds");
  }
  // The flag rides as the callback's pointer: null for a failure.
  static char yes;
  if (r >= 0) {
    r = sd_bus_call_async(bus, nullptr, m, settingsRead, success ? &yes : nullptr, kSettingsUsec);
  }
  sd_bus_message_unref(m);
  if (r < 0) play(success, {});
}

}  // namespace

namespace platform {

void notify(Notice notice) {
  postMain([n = std::move(notice)] { send(n); });
}

void playSound(bool success) {
  postMain([success] { askAndPlay(success); });
}

}  // namespace platform
}  // namespace tavrik
