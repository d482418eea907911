// The X display connection: made when a route needs it, then one of the
// event loop's sources.
#include <poll.h>

#include "platform/linux/xcb_xkb.h"

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "platform/linux/desktop.h"
#include "platform/linux/x11.h"
#include "platform/stderr.h"

namespace tavrik::x11 {

Display display;

namespace {

// Events read while waiting for something else, for the loop to handle.
std::deque<xcb_generic_event_t*> keptEvents;
bool keyboardDirty = false;

// Why the last connect failed, in the user's words.
std::string failure;

std::uint8_t eventType(const xcb_generic_event_t* e) { return e->response_type & 0x7F; }

bool isKeyEvent(const xcb_generic_event_t* e) {
  return eventType(e) == XCB_KEY_PRESS || eventType(e) == XCB_KEY_RELEASE;
}

bool isKeyboardChange(const xcb_generic_event_t* e) {
  if (eventType(e) == XCB_MAPPING_NOTIFY) return true;
  if (!display.xkb || eventType(e) != display.xkbEventBase) return false;
  const auto xkbType = reinterpret_cast<const xcb_xkb_new_keyboard_notify_event_t*>(e)->xkbType;
  return xkbType == XCB_XKB_NEW_KEYBOARD_NOTIFY || xkbType == XCB_XKB_MAP_NOTIFY;
}

void dispatch(const xcb_generic_event_t* e) {
  if (isKeyEvent(e)) {
    dispatchKeyEvent(e);
  } else if (isKeyboardChange(e)) {
    keyboardDirty = true;  // regrab once, after the burst of notifications
  } else {
    dispatchSelectionEvent(e);
  }
}

xcb_generic_event_t* nextEvent() {
  if (!keptEvents.empty()) {
    auto* e = keptEvents.front();
    keptEvents.pop_front();
    return e;
  }
  return xcb_poll_for_event(display.c);
}

class Connection final : public desktop::Source {
 public:
  // Events that came, the keyboard's change, transfers past their time,
  // and the requests made meanwhile sent.
  std::optional<Millis> prepare() override {
    for (;;) {
      while (auto* e = nextEvent()) {
        dispatch(e);
        std::free(e);
      }
      if (keyboardDirty) {
        keyboardDirty = false;
        keyboardChanged();
      }
      expireTransfers(desktop::monotonicMillis());
      // What was just done may have left replies' events in xcb's queue.
      auto* e = xcb_poll_for_queued_event(display.c);
      if (e == nullptr) break;
      keptEvents.push_back(e);
    }
    xcb_flush(display.c);
    if (xcb_connection_has_error(display.c)) return desktop::monotonicMillis();  // told in handle
    return transferDeadline();
  }
  void watch(std::vector<pollfd>& fds) override {
    fds.push_back({xcb_get_file_descriptor(display.c), POLLIN, 0});
  }
  bool handle(std::span<const pollfd>) override {
    if (const int error = xcb_connection_has_error(display.c); error != 0) {
      platform::writeStderr("tavrik: mất kết nối với màn hình X (lỗi " + std::to_string(error) +
                            ")\n");
      return false;
    }
    return true;  // what came is read at the next prepare
  }
};

}  // namespace

std::string whyNotConnected() { return failure; }

std::string displayName() {
  const char* name = std::getenv("DISPLAY");
  return name ? name : "";
}

Millis monotonicMillis() { return desktop::monotonicMillis(); }

bool connect(bool withHotkeys) {
  int screenNumber = 0;
  xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
  if (const int error = xcb_connection_has_error(c); error != 0) {
    xcb_disconnect(c);
    const std::string name = displayName();
    const char* auth = std::getenv("XAUTHORITY");
    // xcb keeps the server's own reason to itself (it prints it): say what
    // a user can check.
    failure = name.empty() ? "chưa có màn hình X (DISPLAY chưa đặt)"
              : error == XCB_CONN_CLOSED_PARSE_ERR
                  ? "DISPLAY=" + name + " không phải tên một màn hình X"
                  : "màn hình X " + name + " không nhận kết nối (chưa chạy, hoặc không cho vào: " +
                        (auth ? "XAUTHORITY=" + std::string(auth) : "XAUTHORITY chưa đặt") + ")";
    platform::writeStderr("tavrik: không kết nối được màn hình X (DISPLAY=" + name + ")\n");
    return false;
  }
  display.c = c;
  auto it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screenNumber && it.rem > 0; ++i) xcb_screen_next(&it);
  display.root = it.data->root;

  display.window = xcb_generate_id(c);
  const std::uint32_t values[] = {1, XCB_EVENT_MASK_PROPERTY_CHANGE};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, display.window, display.root, -10, -10, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT,
                    XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
  setUpClipboard();
  if (withHotkeys) setUpHotkeys();
  xcb_flush(c);
  desktop::addSource(new Connection);  // kept for the life of the process
  return true;
}

xcb_generic_event_t* waitForEvent(const std::function<bool(const xcb_generic_event_t*)>& match,
                                  Millis deadline) {
  xcb_flush(display.c);
  for (;;) {
    while (auto* e = xcb_poll_for_event(display.c)) {
      if (match(e)) return e;
      if (isKeyEvent(e)) {
        keptEvents.push_back(e);
        continue;
      }
      dispatch(e);
      std::free(e);
    }
    if (xcb_connection_has_error(display.c)) return nullptr;
    const Millis left = deadline - monotonicMillis();
    if (left <= 0) return nullptr;
    pollfd p{xcb_get_file_descriptor(display.c), POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(left));
    xcb_flush(display.c);
  }
}

}  // namespace tavrik::x11
