// The Wayland clipboard through ext-data-control-v1 or, failing that,
// zwlr-data-control-unstable-v1. Both have the same requests, events and
// opcodes, so one piece of code drives either through the generic proxy
// calls; only the interface descriptions differ.
#include "platform/linux/wayland/data_control.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "platform/linux/desktop.h"
#include "platform/linux/wayland/protocols/interfaces.h"
#include "platform/stderr.h"
#include "relay/utf8.h"

namespace tavrik::wayland {
namespace {

using desktop::Millis;
using desktop::monotonicMillis;
using platform::ReadFailure;

constexpr Millis kRequestorTimeout = 5000;  // a reader that stops taking our text
constexpr Millis kCompositorTimeout = 2000;
constexpr std::size_t kChunk = 1 << 20;

struct Protocol {
  const char* name;
  const wl_interface* manager;
  const wl_interface* device;
  const wl_interface* source;
  const wl_interface* offer;
  std::uint32_t version;  // the highest we speak
};
const Protocol kExt{"ext-data-control-v1",
                    &ext_data_control_manager_v1_interface,
                    &ext_data_control_device_v1_interface,
                    &ext_data_control_source_v1_interface,
                    &ext_data_control_offer_v1_interface,
                    1};
const Protocol kWlr{"zwlr-data-control-unstable-v1",        &zwlr_data_control_manager_v1_interface,
                    &zwlr_data_control_device_v1_interface, &zwlr_data_control_source_v1_interface,
                    &zwlr_data_control_offer_v1_interface,  2};

// Opcodes, the same in both protocols.
enum : std::uint32_t { kCreateDataSource = 0, kGetDataDevice = 1 };  // manager
enum : std::uint32_t { kSetSelection = 0 };                          // device
enum : std::uint32_t { kOffer = 0, kSourceDestroy = 1 };             // source
enum : std::uint32_t { kReceive = 0, kOfferDestroy = 1 };            // offer

// What we ask for, best first, and what we serve.
const char* const kReadTypes[] = {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain"};
const char* const kServedTypes[] = {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain", "TEXT",
                                    "STRING"};

struct Send {
  int fd;
  std::shared_ptr<const std::string> text;
  std::size_t sent = 0;
  Millis deadline;
};

struct State {
  wl_display* display = nullptr;
  const Protocol* protocol = nullptr;
  wl_proxy* seat = nullptr;
  wl_proxy* manager = nullptr;
  wl_proxy* device = nullptr;
  std::uint32_t syncs = 0;                               // roundtrips answered
  std::map<wl_proxy*, std::vector<std::string>> offers;  // announced, with their types
  wl_proxy* selection = nullptr;                         // the current selection's offer
  wl_proxy* source = nullptr;                            // ours, while we own the selection
  std::shared_ptr<const std::string> owned;
  bool secret = false;  // whether ours is marked so
  std::vector<Send> sends;
};
State state;

std::uint32_t versionOf(wl_proxy* p) { return wl_proxy_get_version(p); }

void destroy(wl_proxy* p, std::uint32_t opcode) {
  wl_proxy_marshal_flags(p, opcode, nullptr, versionOf(p), WL_MARSHAL_FLAG_DESTROY);
}

void forgetOffer(wl_proxy* offer) {
  if (offer == nullptr) return;
  state.offers.erase(offer);
  destroy(offer, kOfferDestroy);
}

// Listeners, laid out as the protocols' events (same in both).
struct OfferListener {
  void (*offer)(void*, wl_proxy*, const char*);
};
const OfferListener offerListener{
    [](void*, wl_proxy* offer, const char* type) { state.offers[offer].emplace_back(type); }};

struct DeviceListener {
  void (*dataOffer)(void*, wl_proxy*, wl_proxy*);
  void (*selection)(void*, wl_proxy*, wl_proxy*);
  void (*finished)(void*, wl_proxy*);
  void (*primarySelection)(void*, wl_proxy*, wl_proxy*);
};
const DeviceListener deviceListener{
    [](void*, wl_proxy*, wl_proxy* offer) {
      state.offers[offer];
      wl_proxy_add_listener(
          offer, reinterpret_cast<void (**)(void)>(const_cast<OfferListener*>(&offerListener)),
          nullptr);
    },
    [](void*, wl_proxy*, wl_proxy* offer) {
      if (state.selection != offer) forgetOffer(state.selection);
      state.selection = offer;
    },
    [](void*, wl_proxy* device) {
      // The device is gone (the seat went away): no clipboard from now on.
      destroy(device, 1);
      state.device = nullptr;
    },
    [](void*, wl_proxy*, wl_proxy* offer) {
      if (offer != state.selection) forgetOffer(offer);  // we only use the clipboard
    },
};

struct SourceListener {
  void (*send)(void*, wl_proxy*, const char*, std::int32_t);
  void (*cancelled)(void*, wl_proxy*);
};
const SourceListener sourceListener{
    [](void*, wl_proxy* source, const char* type, std::int32_t fd) {
      if (source != state.source || !state.owned) {
        ::close(fd);
        return;
      }
      static const auto mark = std::make_shared<const std::string>("secret");
      const bool forMark = platform::kSecretHint == type;
      ::fcntl(fd, F_SETFL, O_NONBLOCK);
      state.sends.push_back(
          {fd, forMark ? mark : state.owned, 0, monotonicMillis() + kRequestorTimeout});
    },
    [](void*, wl_proxy* source) {
      if (source == state.source) {
        state.source = nullptr;
        state.owned.reset();
        state.secret = false;
      }
      destroy(source, kSourceDestroy);
    },
};

struct RegistryListener {
  void (*global)(void*, wl_registry*, std::uint32_t, const char*, std::uint32_t);
  void (*remove)(void*, wl_registry*, std::uint32_t);
};
struct Found {
  std::uint32_t seat = 0, seatVersion = 0, ext = 0, extVersion = 0, wlr = 0, wlrVersion = 0;
};
Found found;
const RegistryListener registryListener{
    [](void*, wl_registry*, std::uint32_t name, const char* interface, std::uint32_t version) {
      const std::string_view i = interface;
      if (i == "wl_seat" && found.seat == 0) {
        found.seat = name;
        found.seatVersion = version;
      }
      if (i == kExt.manager->name) {
        found.ext = name;
        found.extVersion = version;
      }
      if (i == kWlr.manager->name) {
        found.wlr = name;
        found.wlrVersion = version;
      }
    },
    [](void*, wl_registry*, std::uint32_t) {},
};

struct CallbackListener {
  void (*done)(void*, wl_callback*, std::uint32_t);
};
const CallbackListener syncListener{[](void*, wl_callback* callback, std::uint32_t) {
  ++state.syncs;
  wl_callback_destroy(callback);
}};

// Every event the compositor sent before now has been handled; false when
// it does not answer in time or the connection broke.
bool roundtrip() {
  const std::uint32_t target = state.syncs + 1;
  wl_callback* callback = wl_display_sync(state.display);
  wl_callback_add_listener(callback, reinterpret_cast<const wl_callback_listener*>(&syncListener),
                           nullptr);
  const Millis deadline = monotonicMillis() + kCompositorTimeout;
  while (static_cast<std::int32_t>(state.syncs - target) < 0) {
    if (wl_display_dispatch_pending(state.display) < 0) return false;
    if (static_cast<std::int32_t>(state.syncs - target) >= 0) break;
    wl_display_flush(state.display);
    const Millis left = deadline - monotonicMillis();
    if (left <= 0) return false;
    pollfd p{wl_display_get_fd(state.display), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) > 0 && wl_display_dispatch(state.display) < 0) {
      return false;
    }
  }
  return true;
}

template <typename Listener>
void listen(wl_proxy* proxy, const Listener& listener) {
  wl_proxy_add_listener(proxy, reinterpret_cast<void (**)(void)>(const_cast<Listener*>(&listener)),
                        nullptr);
}

// Feeds readers of our text from the loop; dispatches the connection.
class Connection final : public desktop::Source {
 public:
  std::optional<Millis> prepare() override {
    wl_display_dispatch_pending(state.display);
    wl_display_flush(state.display);
    const Millis now = monotonicMillis();
    std::erase_if(state.sends, [now](const Send& s) {
      if (s.deadline > now) return false;
      ::close(s.fd);  // a reader that stopped taking our text
      return true;
    });
    std::optional<Millis> soonest;
    for (const auto& s : state.sends) soonest = std::min(soonest.value_or(s.deadline), s.deadline);
    return soonest;
  }

  void watch(std::vector<pollfd>& fds) override {
    fds.push_back({wl_display_get_fd(state.display), POLLIN, 0});
    for (const auto& s : state.sends) fds.push_back({s.fd, POLLOUT, 0});
  }

  bool handle(std::span<const pollfd> fds) override {
    for (const auto& p : fds.subspan(1)) {
      if (p.revents != 0) feed(p.fd);
    }
    if (fds[0].revents & (POLLERR | POLLHUP) || (fds[0].revents & POLLIN && !readWhatCame())) {
      platform::writeStderr("tavrik: mất kết nối với Wayland (" +
                            std::string(std::strerror(wl_display_get_error(state.display))) +
                            ")\n");
      return false;
    }
    return true;
  }

 private:
  // The events on the connection, without waiting: a source handled before
  // this one (a press that read the clipboard) may have read them already.
  static bool readWhatCame() {
    while (wl_display_prepare_read(state.display) != 0) {
      if (wl_display_dispatch_pending(state.display) < 0) return false;
    }
    pollfd p{wl_display_get_fd(state.display), POLLIN, 0};
    if (::poll(&p, 1, 0) > 0) {
      if (wl_display_read_events(state.display) < 0) return false;
    } else {
      wl_display_cancel_read(state.display);
    }
    return wl_display_dispatch_pending(state.display) >= 0;
  }

  static void feed(int fd) {
    const auto it = std::find_if(state.sends.begin(), state.sends.end(),
                                 [fd](const Send& s) { return s.fd == fd; });
    if (it == state.sends.end()) return;
    const std::string& text = *it->text;
    const std::size_t n = std::min(kChunk, text.size() - it->sent);
    const ssize_t w = n == 0 ? 0 : ::write(fd, text.data() + it->sent, n);
    if (w > 0) {
      it->sent += static_cast<std::size_t>(w);
      it->deadline = monotonicMillis() + kRequestorTimeout;
    }
    const bool failed = w < 0 && errno != EAGAIN && errno != EINTR;
    if (failed || it->sent == text.size()) {
      ::close(fd);
      state.sends.erase(it);
    }
  }
};

}  // namespace

std::optional<std::string> connect() {
  found = {};  // tried again at a press when the first try found nothing
  state.display = wl_display_connect(nullptr);
  if (state.display == nullptr) return std::nullopt;
  wl_registry* registry = wl_display_get_registry(state.display);
  wl_registry_add_listener(
      registry, reinterpret_cast<const wl_registry_listener*>(&registryListener), nullptr);
  const bool answered = roundtrip();
  if (!answered || found.seat == 0 || (found.ext == 0 && found.wlr == 0)) {
    wl_registry_destroy(registry);
    wl_display_disconnect(state.display);
    state.display = nullptr;
    return std::nullopt;
  }
  state.protocol = found.ext != 0 ? &kExt : &kWlr;
  const std::uint32_t name = found.ext != 0 ? found.ext : found.wlr;
  const std::uint32_t offered = found.ext != 0 ? found.extVersion : found.wlrVersion;
  state.manager = static_cast<wl_proxy*>(wl_registry_bind(
      registry, name, state.protocol->manager, std::min(offered, state.protocol->version)));
  state.seat =
      static_cast<wl_proxy*>(wl_registry_bind(registry, found.seat, &wl_seat_interface, 1));
  state.device = wl_proxy_marshal_flags(state.manager, kGetDataDevice, state.protocol->device,
                                        versionOf(state.manager), 0, nullptr, state.seat);
  listen(state.device, deviceListener);
  if (!roundtrip()) {
    wl_display_disconnect(state.display);
    state = State{};
    return std::nullopt;
  }
  desktop::addSource(new Connection);  // kept for the life of the process
  return std::string(state.protocol->name);
}

namespace {

// One type of the current selection, bounded like every read.
std::variant<std::string, ReadFailure> receive(const char* type, std::size_t limit) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return ReadFailure::kNoAnswer;
  // Only our end is non-blocking: the owner gets an ordinary pipe.
  ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
  wl_proxy_marshal_flags(state.selection, kReceive, nullptr, versionOf(state.selection), 0, type,
                         fds[1]);
  ::close(fds[1]);  // the request carries its own copy
  wl_display_flush(state.display);

  const Millis started = monotonicMillis();
  Millis progress = started;
  std::string text;
  std::variant<std::string, ReadFailure> result = ReadFailure::kNoAnswer;
  char buf[65536];
  for (;;) {
    const Millis deadline = desktop::readDeadline(progress, started);
    const Millis now = monotonicMillis();
    if (now >= deadline) {
      result = desktop::lateness(started);
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(deadline - now)) <= 0) continue;
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) {
      result = std::move(text);
      break;
    }
    if (static_cast<std::size_t>(n) > limit - text.size()) {
      result = ReadFailure::kTooLarge;
      break;
    }
    text.append(buf, static_cast<std::size_t>(n));
    progress = monotonicMillis();
  }
  ::close(fds[0]);
  return result;
}

}  // namespace

std::variant<platform::PasteboardText, ReadFailure> read() {
  if (state.device == nullptr) return ReadFailure::kNoText;
  // The selection as it is now, not as it was when we last looked.
  if (!roundtrip()) return ReadFailure::kNoAnswer;
  if (state.source != nullptr && state.owned) {
    return platform::PasteboardText{*state.owned, state.secret};
  }
  if (state.selection == nullptr) return ReadFailure::kNoText;
  const auto types = state.offers[state.selection];
  const char* chosen = nullptr;
  for (const char* t : kReadTypes) {
    if (std::find(types.begin(), types.end(), t) != types.end()) {
      chosen = t;
      break;
    }
  }
  if (chosen == nullptr) return ReadFailure::kNoText;
  auto text = receive(chosen, platform::kMaxText);
  if (auto* failure = std::get_if<ReadFailure>(&text)) return *failure;
  auto& bytes = std::get<std::string>(text);
  if (!isValidUtf8(bytes)) return ReadFailure::kNoText;
  // A mark that does not come in time is no mark.
  bool secret = false;
  if (std::find(types.begin(), types.end(), platform::kSecretHint) != types.end()) {
    const std::string hint(platform::kSecretHint);
    const auto mark = receive(hint.c_str(), 64);
    const auto* value = std::get_if<std::string>(&mark);
    secret = value && *value == "secret";
  }
  return platform::PasteboardText{std::move(bytes), secret};
}

void clearIfOurs() {
  if (state.device == nullptr || state.source == nullptr || !state.owned) return;
  // Only a selection that is still our source is ours to clear.
  wl_proxy_marshal_flags(state.device, kSetSelection, nullptr, versionOf(state.device), 0, nullptr);
  state.source = nullptr;  // its cancel event destroys it
  state.owned.reset();
  state.secret = false;
  (void)roundtrip();
}

bool write(std::string text, bool secret) {
  if (state.device == nullptr) return false;
  wl_proxy* source =
      wl_proxy_marshal_flags(state.manager, kCreateDataSource, state.protocol->source,
                             versionOf(state.manager), 0, nullptr);
  listen(source, sourceListener);
  for (const char* type : kServedTypes) {
    wl_proxy_marshal_flags(source, kOffer, nullptr, versionOf(source), 0, type);
  }
  if (secret) {
    const std::string hint(platform::kSecretHint);
    wl_proxy_marshal_flags(source, kOffer, nullptr, versionOf(source), 0, hint.c_str());
  }
  wl_proxy_marshal_flags(state.device, kSetSelection, nullptr, versionOf(state.device), 0, source);
  state.source = source;  // a source of ours it replaces is cancelled by the compositor
  state.owned = std::make_shared<const std::string>(std::move(text));
  state.secret = secret;
  return roundtrip() && state.source == source;
}

}  // namespace tavrik::wayland
