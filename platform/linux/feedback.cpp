// Notifications over the session bus (org.freedesktop.Notifications), sent
// from the event loop without waiting for the answer; sounds of the
// freedesktop theme, by the sound server's own player.
#include "platform/feedback.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/bus_source.h"
#include "platform/linux/portal/global_shortcuts.h"  // kAppId
#include "platform/process.h"
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
  static Bus* get() {
    static Bus* kept = [] {
      sd_bus* b = nullptr;
      if (sd_bus_open_user(&b) < 0) return static_cast<Bus*>(nullptr);
      auto* made = new Bus(b);  // kept for the life of the process
      desktop::addSource(made);
      return made;
    }();
    return kept;
  }
  sd_bus* bus() const { return bus_; }
  bool broken() const { return broken_; }
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
  Bus* bus = Bus::get();
  if (bus == nullptr || bus->broken()) return tellInstead(n);
  sd_bus_message* m = nullptr;
  int r = sd_bus_message_new_method_call(bus->bus(), &m, kService, kPath, kService, "Notify");
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
  if (r >= 0) r = sd_bus_call_async(bus->bus(), nullptr, m, answered, data, kAnswerUsec);
  sd_bus_message_unref(m);
  if (r < 0) {
    delete data;
    tellInstead(n);
  }
}

// A colon-separated list (PATH, XDG_DATA_DIRS), empty entries left out.
std::vector<std::string> listOf(const char* value, std::string_view fallback) {
  std::string_view rest = value && *value ? value : fallback;
  std::vector<std::string> out;
  while (!rest.empty()) {
    const auto end = rest.find(':');
    if (end != 0) out.emplace_back(rest.substr(0, end));
    rest = end == std::string_view::npos ? "" : rest.substr(end + 1);
  }
  return out;
}

// The file of a sound theme's event, in the data directories' freedesktop theme.
std::optional<std::string> themeFile(std::string_view event) {
  for (const auto& dir : listOf(std::getenv("XDG_DATA_DIRS"), "/usr/local/share:/usr/share")) {
    for (const char* ext : {".oga", ".ogg", ".wav"}) {
      const std::string file = dir + "/sounds/freedesktop/stereo/" + std::string(event) + ext;
      if (::access(file.c_str(), R_OK) == 0) return file;
    }
  }
  return std::nullopt;
}

// The sound server's player: PulseAudio's, else PipeWire's.
std::optional<std::string> player() {
  for (const auto& dir : listOf(std::getenv("PATH"), "")) {
    for (const char* name : {"/paplay", "/pw-play"}) {
      if (::access((dir + name).c_str(), X_OK) == 0) return dir + name;
    }
  }
  return std::nullopt;
}

}  // namespace

namespace platform {

void notify(Notice notice) {
  postMain([n = std::move(notice)] { send(n); });
}

void playSound(bool success) {
  const char* event = success ? "complete" : "dialog-error";
  const auto file = themeFile(event);
  const auto program = player();
  std::optional<LaunchError> failed;
  if (!file) {
    failed = LaunchError{std::string("không thấy âm ") + event + " của chủ đề freedesktop"};
  } else if (!program) {
    failed = LaunchError{"không có paplay hay pw-play"};
  } else {
    failed = spawnDetached(*program, {*program, *file});
  }
  if (failed) writeStderr("tavrik: không phát được âm thanh: " + failed->description + "\n");
}

}  // namespace platform
}  // namespace tavrik
