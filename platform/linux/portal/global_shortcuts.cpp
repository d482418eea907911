// Hotkeys through the GlobalShortcuts portal, with sd-bus driven by the
// agent's own event loop: no thread of its own, and no wait that stops the
// loop (a desktop may keep a dialog open for as long as the user likes).
#include "platform/linux/portal/global_shortcuts.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-login.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "hotkeys/hotkey_spec.h"
#include "hotkeys/key_codes.h"
#include "platform/linux/bus_source.h"
#include "platform/stderr.h"

namespace tavrik::portal {
namespace {

using desktop::Millis;

constexpr const char* kService = "org.freedesktop.portal.Desktop";
constexpr const char* kPath = "/org/freedesktop/portal/desktop";
constexpr const char* kInterface = "org.freedesktop.portal.GlobalShortcuts";
constexpr std::uint64_t kCallTimeoutUsec = 10'000'000;
constexpr Millis kAnswerTimeout = 10'000;
// Binding may wait for the user to confirm a dialog.
constexpr Millis kBindTimeout = 120'000;
// The triggers last bound, as "push TRIGGER\npull TRIGGER\n".
constexpr std::string_view kBoundFile = "portal-shortcuts";

struct Shortcut {
  std::uint32_t id;  // 1 push, 2 pull
  std::string name;
  std::string description;
  std::string trigger;
};

struct Response {
  std::uint32_t code = 2;
  std::string sessionHandle;
  std::vector<std::string> listed;  // the ids in "shortcuts"
};

// The answer to one request, or why there is none and the status that gives.
struct Outcome {
  std::optional<Response> response;
  std::int32_t status = kNoAnswer;
  std::string why;
};
using Then = void (*)(const Outcome&);

sd_bus* bus = nullptr;
bool registered = false;  // named through the portal's registry
std::string session;
unsigned tokens = 0;
std::int32_t statuses[3] = {kNoAnswer, kNoAnswer, kNoAnswer};
std::vector<Shortcut> wanted;
std::function<void()> answered;

// The one request waiting for the portal. Its slots are released from the
// loop, never from within their own callbacks.
struct Waiting {
  const char* method = nullptr;
  sd_bus_slot* response = nullptr;
  sd_bus_slot* reply = nullptr;
  std::optional<Millis> deadline;
  Then then = nullptr;
} waiting;
std::vector<sd_bus_slot*> spent;

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

// Stops waiting: the slots go at the loop's next turn. The continuation.
Then release() {
  const Then then = waiting.then;
  if (waiting.response != nullptr) spent.push_back(waiting.response);
  if (waiting.reply != nullptr) spent.push_back(waiting.reply);
  waiting = {};
  return then;
}

void settle(Outcome outcome) {
  if (const Then then = release()) then(outcome);
}

int onResponse(sd_bus_message* m, void*, sd_bus_error*) {
  Response r;
  if (sd_bus_message_read(m, "u", &r.code) < 0) return 0;
  if (sd_bus_message_enter_container(m, 'a', "{sv}") > 0) {
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
      const char* key = nullptr;
      sd_bus_message_read(m, "s", &key);
      const char* value = nullptr;
      if (key != nullptr && std::strcmp(key, "session_handle") == 0 &&
          sd_bus_message_read(m, "v", "s", &value) >= 0 && value != nullptr) {
        r.sessionHandle = value;
      } else if (key != nullptr && std::strcmp(key, "shortcuts") == 0 &&
                 sd_bus_message_enter_container(m, 'v', "a(sa{sv})") > 0) {
        readShortcutIds(m, r.listed);
        sd_bus_message_exit_container(m);
      } else {
        sd_bus_message_skip(m, "v");
      }
      sd_bus_message_exit_container(m);
    }
  }
  settle({std::move(r), 0, {}});
  return 0;
}

// The method call's own reply: only an error matters; the answer comes as
// the request's Response.
int onReply(sd_bus_message* m, void*, sd_bus_error*) {
  if (sd_bus_message_is_method_error(m, nullptr) <= 0) return 0;
  const sd_bus_error* error = sd_bus_message_get_error(m);
  settle({std::nullopt, kRefused,
          std::string(waiting.method) +
              " lỗi: " + (error != nullptr && error->message != nullptr ? error->message : "?")});
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

// Starts a call `m` to `method` whose handle_token is `token`; `then` runs
// with its answer, or with why there is none.
void request(const char* method, sd_bus_message* m, const std::string& token, Millis timeout,
             Then then) {
  waiting = {method, nullptr, nullptr, desktop::monotonicMillis() + timeout, then};
  const bool sent =
      m != nullptr &&
      sd_bus_match_signal(bus, &waiting.response, kService, requestPath(token).c_str(),
                          "org.freedesktop.portal.Request", "Response", onResponse, nullptr) >= 0 &&
      sd_bus_call_async(bus, &waiting.reply, m, onReply, nullptr, kCallTimeoutUsec) >= 0;
  sd_bus_message_unref(m);
  if (!sent) settle({std::nullopt, kRefused, std::string(method) + ": không gửi được yêu cầu"});
}

// Appends the shortcuts as a(sa{sv}).
bool appendShortcuts(sd_bus_message* m) {
  bool built = sd_bus_message_open_container(m, 'a', "(sa{sv})") >= 0;
  for (const auto& s : wanted) {
    built = built && sd_bus_message_append(m, "(sa{sv})", s.name.c_str(), 2, "description", "s",
                                           s.description.c_str(), "preferred_trigger", "s",
                                           s.trigger.c_str()) >= 0;
  }
  return built && sd_bus_message_close_container(m) >= 0;
}

// A new call to `method`, or null.
sd_bus_message* call(const char* method) {
  sd_bus_message* m = nullptr;
  if (sd_bus_message_new_method_call(bus, &m, kService, kPath, kInterface, method) < 0)
    return nullptr;
  return m;
}

sd_bus_message* built(sd_bus_message* m, bool ok) {
  if (ok) return m;
  sd_bus_message_unref(m);
  return nullptr;
}

std::string newToken() { return "tavrik" + std::to_string(++tokens); }

// The id the portal knows this process by, as far as the agent can tell.
std::string ownAppId() {
  if (registered) return std::string(kAppId);
  char* unit = nullptr;
  if (sd_pid_get_user_unit(0, &unit) < 0 || unit == nullptr) return {};
  std::string id = appIdOfUnit(unit);
  std::free(unit);
  return id;
}

std::string rememberedTriggers() {
  std::string text;
  for (const auto& s : wanted) text += s.name + " " + s.trigger + "\n";
  return text;
}

bool listed(const Response& r, const Shortcut& s) {
  return std::find(r.listed.begin(), r.listed.end(), s.name) != r.listed.end();
}

bool allBound() {
  return std::all_of(wanted.begin(), wanted.end(),
                     [](const Shortcut& s) { return statuses[s.id] == 0; });
}

// Every status is known: says why any shortcut is not bound, and hands over.
void conclude(const std::string& why) {
  if (!allBound())
    platform::writeStderr("tavrik: cổng GlobalShortcuts chưa gán phím tắt: " + why + "\n");
  if (auto then = std::exchange(answered, nullptr)) then();
}

// An answer that lists nothing the agent asked for: why, in the user's terms.
std::string refusal(const Outcome& o) {
  if (!o.response) return o.why;
  if (o.response->code == 1) return "người dùng không đồng ý";
  const std::string id = ownAppId();
  return "trả lời mã " + std::to_string(o.response->code) + "; " +
         (id.empty() ? "tavrik-agent không có mã ứng dụng (hãy chạy nó từ " + std::string(kAppId) +
                           ".desktop hoặc app-" + std::string(kAppId) + ".service)"
                     : "mã ứng dụng của tavrik-agent: " + id);
}

// What a listing answer does not bind keeps `status`.
void take(const Outcome& o, std::int32_t status) {
  for (const auto& s : wanted) {
    statuses[s.id] = o.response && listed(*o.response, s) ? 0 : status;
  }
}

// A BindShortcuts answer after the agent stopped waiting: the keys work.
void afterLateBind(const Outcome& o) {
  if (!o.response) return;
  take(o, kNotBound);
  std::string names;
  for (const auto& s : wanted) {
    if (statuses[s.id] == 0) names += " " + s.name;
  }
  if (names.empty()) return;
  if (allBound()) desktop::writeStateFile(kBoundFile, rememberedTriggers());
  platform::writeStderr("tavrik: cổng GlobalShortcuts trả lời muộn, đã gán:" + names + "\n");
}

void afterBind(const Outcome& o) {
  if (!o.response) {
    take(o, o.status);
    conclude(o.why);
    return;
  }
  const std::uint32_t code = o.response->code;
  take(o, code == 0 ? kNotBound : code == 1 ? kCancelled : kRefused);
  if (allBound()) desktop::writeStateFile(kBoundFile, rememberedTriggers());
  conclude(code == 0 ? "BindShortcuts trả lời mà không gán hết" : refusal(o));
}

void afterList(const Outcome& o) {
  // Already bound as asked before: asking again would open a dialog (GNOME)
  // or System Settings (Plasma 6) at every start.
  if (o.response &&
      std::all_of(wanted.begin(), wanted.end(),
                  [&](const Shortcut& s) { return listed(*o.response, s); }) &&
      desktop::readStateFile(kBoundFile) == rememberedTriggers()) {
    take(o, 0);
    conclude({});
    return;
  }
  const std::string token = newToken();
  sd_bus_message* m = call("BindShortcuts");
  m = built(m,
            m != nullptr && sd_bus_message_append(m, "o", session.c_str()) >= 0 &&
                appendShortcuts(m) &&
                sd_bus_message_append(m, "sa{sv}", "", 1, "handle_token", "s", token.c_str()) >= 0);
  request("BindShortcuts", m, token, kBindTimeout, afterBind);
}

void afterSession(const Outcome& o) {
  if (!o.response || o.response->code != 0 || o.response->sessionHandle.empty()) {
    take({}, o.response ? (o.response->code == 1 ? kCancelled : kRefused) : o.status);
    conclude(o.response ? "CreateSession " + refusal(o) : o.why);
    return;
  }
  session = o.response->sessionHandle;
  const std::string token = newToken();
  sd_bus_message* m = call("ListShortcuts");
  m = built(m, m != nullptr && sd_bus_message_append(m, "oa{sv}", session.c_str(), 1,
                                                     "handle_token", "s", token.c_str()) >= 0);
  request("ListShortcuts", m, token, kAnswerTimeout, afterList);
}

class Bus final : public desktop::BusSource {
 public:
  Bus() : BusSource(bus) {}
  std::optional<Millis> prepare() override {
    for (auto* slot : spent) sd_bus_slot_unref(slot);
    spent.clear();
    process();
    if (waiting.deadline && desktop::monotonicMillis() >= *waiting.deadline) expire();
    std::optional<Millis> wake = sent();
    if (waiting.deadline && (!wake || *waiting.deadline < *wake)) wake = waiting.deadline;
    if (!spent.empty()) wake = desktop::monotonicMillis();  // released at the next turn
    return wake;
  }

 private:
  bool lost(int error) override {
    platform::writeStderr("tavrik: mất kết nối với D-Bus (" + std::string(std::strerror(-error)) +
                          ")\n");
    return false;
  }
  // A bind that outlives its deadline may still be approved: its answer is
  // still heard, and told, but nothing waits for it.
  static void expire() {
    const bool bind = std::strcmp(waiting.method, "BindShortcuts") == 0;
    const std::string why = std::string("không trả lời ") + waiting.method + " trong " +
                            std::to_string((bind ? kBindTimeout : kAnswerTimeout) / 1000) + " giây";
    const Then then = waiting.then;
    if (bind) {
      waiting.deadline.reset();
      waiting.then = afterLateBind;
    } else {
      release();
    }
    then({std::nullopt, kNoAnswer, why});
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
  // Newer portals name a host process by what it registers, before its
  // first request; older ones by its systemd unit alone.
  sd_bus_error error = SD_BUS_ERROR_NULL;
  const bool ownUnit = ownAppId() == kAppId;
  registered =
      !ownUnit && sd_bus_call_method(bus, kService, kPath, "org.freedesktop.host.portal.Registry",
                                     "Register", &error, nullptr, "sa{sv}", kAppId.data(), 0) >= 0;
  const std::string notRegistered =
      ownUnit || registered ||
              sd_bus_error_has_names(&error, SD_BUS_ERROR_UNKNOWN_METHOD,
                                     SD_BUS_ERROR_UNKNOWN_INTERFACE, SD_BUS_ERROR_UNKNOWN_OBJECT)
          ? std::string()
          : std::string(error.message != nullptr ? error.message : "?");
  sd_bus_error_free(&error);
  std::uint32_t version = 0;
  const int got = sd_bus_get_property_trivial(bus, kService, kPath, kInterface, "version", &error,
                                              'u', &version);
  sd_bus_error_free(&error);
  if (got < 0) {
    bus = sd_bus_flush_close_unref(bus);
    return false;
  }
  if (!notRegistered.empty()) {
    platform::writeStderr("tavrik: cổng không nhận tên " + std::string(kAppId) + ": " +
                          notRegistered + "\n");
  }
  sd_bus_match_signal(bus, nullptr, kService, kPath, kInterface, "Activated", onActivated, nullptr);
  desktop::addSource(new Bus);  // kept for the life of the process
  return true;
}

void bindAll(std::span<const platform::HotKeyRequest> all, std::function<void()> then) {
  answered = std::move(then);
  for (const auto& h : all) {
    const std::uint32_t id = h.id.id;
    if (id != 1 && id != 2) continue;
    const std::string trigger = triggerFor(h.keyCode, h.modifiers);
    if (trigger.empty()) {
      statuses[id] = -9879;
      continue;
    }
    const bool push = id == 1;
    wanted.push_back({id, push ? "push" : "pull",
                      push ? "Gửi clipboard sang máy kia" : "Lấy chữ từ máy kia về clipboard",
                      trigger});
  }
  if (wanted.empty()) {
    if (auto then = std::exchange(answered, nullptr)) then();
    return;
  }
  // KDE before Plasma 6.1 registers only the shortcuts declared here.
  const std::string token = newToken();
  sd_bus_message* m = call("CreateSession");
  m = built(m, m != nullptr && sd_bus_message_open_container(m, 'a', "{sv}") >= 0 &&
                   sd_bus_message_append(m, "{sv}", "handle_token", "s", token.c_str()) >= 0 &&
                   sd_bus_message_append(m, "{sv}", "session_handle_token", "s", "tavrik") >= 0 &&
                   sd_bus_message_open_container(m, 'e', "sv") >= 0 &&
                   sd_bus_message_append(m, "s", "shortcuts") >= 0 &&
                   sd_bus_message_open_container(m, 'v', "a(sa{sv})") >= 0 && appendShortcuts(m) &&
                   sd_bus_message_close_container(m) >= 0 &&
                   sd_bus_message_close_container(m) >= 0 &&
                   sd_bus_message_close_container(m) >= 0);
  request("CreateSession", m, token, kAnswerTimeout, afterSession);
}

std::int32_t bound(platform::EventHotKeyID id) {
  return id.id == 1 || id.id == 2 ? statuses[id.id] : -9879;
}

}  // namespace tavrik::portal
