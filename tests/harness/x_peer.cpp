// Another X client, for the integration tests. Prints "ready" once set up,
// then serves until killed.
//   x_peer trickle       owns CLIPBOARD; answers UTF8_STRING by INCR with
//                        1 KiB every tenth of a second (well inside the
//                        agent's one second, even on a loaded machine),
//                        never finishing
//   x_peer flood         the same with 1 MiB chunks as fast as they are taken
//   x_peer manager       owns CLIPBOARD_MANAGER; on SAVE_TARGETS copies the
//                        CLIPBOARD text, prints "saved <text>", takes
//                        CLIPBOARD and serves the copy as UTF8_STRING
//   x_peer secret TEXT   owns CLIPBOARD with TEXT marked as a password
//                        manager marks a secret, the mark named in TARGETS
//   x_peer ask           asks the CLIPBOARD owner for UTF8_STRING and
//                        image/png in one MULTIPLE request, then for
//                        UTF8_STRING at a time before it owned CLIPBOARD;
//                        prints what it got and exits
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

namespace {

xcb_connection_t* c;
xcb_window_t window;

xcb_atom_t atom(const char* name) {
  auto* r = xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
  const xcb_atom_t a = r ? r->atom : XCB_NONE;
  std::free(r);
  return a;
}

void ready() {
  xcb_flush(c);
  std::puts("ready");
  std::fflush(stdout);
}

void own(xcb_atom_t selection) { xcb_set_selection_owner(c, window, selection, XCB_CURRENT_TIME); }

void notify(const xcb_selection_request_event_t* r, xcb_atom_t property) {
  xcb_selection_notify_event_t n{};
  n.response_type = XCB_SELECTION_NOTIFY;
  n.time = r->time;
  n.requestor = r->requestor;
  n.selection = r->selection;
  n.target = r->target;
  n.property = property;
  xcb_send_event(c, 0, r->requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&n));
  xcb_flush(c);
}

void put(xcb_window_t w, xcb_atom_t property, xcb_atom_t type, std::string_view bytes) {
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, property, type, 8,
                      static_cast<std::uint32_t>(bytes.size()), bytes.data());
  xcb_flush(c);
}

std::string get(xcb_atom_t property) {
  std::string text;
  if (auto* reply = xcb_get_property_reply(
          c, xcb_get_property(c, 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 1 << 20),
          nullptr)) {
    text.assign(static_cast<const char*>(xcb_get_property_value(reply)),
                static_cast<std::size_t>(xcb_get_property_value_length(reply)));
    std::free(reply);
  }
  return text;
}

// The property the owner answered with, None for a refusal.
xcb_atom_t convert(xcb_atom_t target, xcb_atom_t property, xcb_timestamp_t time) {
  xcb_convert_selection(c, window, atom("CLIPBOARD"), target, property, time);
  xcb_flush(c);
  xcb_atom_t got = XCB_NONE;
  while (auto* e = xcb_wait_for_event(c)) {
    const bool done = (e->response_type & 0x7F) == XCB_SELECTION_NOTIFY;
    if (done) got = reinterpret_cast<xcb_selection_notify_event_t*>(e)->property;
    std::free(e);
    if (done) break;
  }
  return got;
}

int ask() {
  const xcb_atom_t utf8 = atom("UTF8_STRING"), pairs = atom("X_PEER_PAIRS"), a = atom("X_PEER_A");
  const xcb_atom_t list[] = {utf8, a, atom("image/png"), atom("X_PEER_B")};
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, pairs, atom("ATOM_PAIR"), 32, 4, list);
  if (convert(atom("MULTIPLE"), pairs, XCB_CURRENT_TIME) != pairs) return 1;
  const std::string answered = get(pairs);
  if (answered.size() != sizeof list) return 1;
  xcb_atom_t back[4];
  std::memcpy(back, answered.data(), sizeof back);
  std::printf("utf8 %s\npng %s\n", get(a).c_str(), back[3] == XCB_NONE ? "refused" : "served");
  std::printf("stale %s\n", convert(utf8, a, 1) == XCB_NONE ? "refused" : "served");
  return 0;
}

// Starts an INCR answer to every UTF8_STRING request; each deletion of the
// property by the requestor is answered with another chunk, for ever.
int endlessIncr(std::size_t chunk, std::chrono::milliseconds pace) {
  const xcb_atom_t clipboard = atom("CLIPBOARD"), utf8 = atom("UTF8_STRING"), incr = atom("INCR");
  own(clipboard);
  ready();
  const std::string bytes(chunk, 'x');
  while (auto* e = xcb_wait_for_event(c)) {
    const auto type = e->response_type & 0x7F;
    if (type == XCB_SELECTION_REQUEST) {
      const auto* r = reinterpret_cast<xcb_selection_request_event_t*>(e);
      if (r->target != utf8) {
        notify(r, XCB_NONE);
      } else {
        const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_change_window_attributes(c, r->requestor, XCB_CW_EVENT_MASK, &mask);
        const std::uint32_t size = 1;
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, r->requestor, r->property, incr, 32, 1,
                            &size);
        notify(r, r->property);
      }
    } else if (type == XCB_PROPERTY_NOTIFY) {
      const auto* p = reinterpret_cast<xcb_property_notify_event_t*>(e);
      if (p->state == XCB_PROPERTY_DELETE) {
        std::this_thread::sleep_for(pace);
        put(p->window, p->atom, utf8, bytes);
      }
    }
    std::free(e);
  }
  return 0;
}

int secret(std::string_view text) {
  const xcb_atom_t utf8 = atom("UTF8_STRING"), hint = atom("x-kde-passwordManagerHint");
  const xcb_atom_t targets[] = {atom("TARGETS"), utf8, hint};
  own(atom("CLIPBOARD"));
  ready();
  while (auto* e = xcb_wait_for_event(c)) {
    if ((e->response_type & 0x7F) == XCB_SELECTION_REQUEST) {
      const auto* r = reinterpret_cast<xcb_selection_request_event_t*>(e);
      const bool known = r->target == utf8 || r->target == hint || r->target == targets[0];
      if (r->target == targets[0]) {
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, r->requestor, r->property, XCB_ATOM_ATOM, 32,
                            3, targets);
      } else if (known) {
        put(r->requestor, r->property, r->target, r->target == utf8 ? text : "secret");
      }
      notify(r, known ? r->property : XCB_NONE);
    }
    std::free(e);
  }
  return 0;
}

int manager() {
  const xcb_atom_t clipboard = atom("CLIPBOARD"), utf8 = atom("UTF8_STRING"),
                   save = atom("SAVE_TARGETS"), copy = atom("X_PEER_COPY");
  own(atom("CLIPBOARD_MANAGER"));
  ready();
  std::string text;
  xcb_selection_request_event_t pending{};
  while (auto* e = xcb_wait_for_event(c)) {
    const auto type = e->response_type & 0x7F;
    if (type == XCB_SELECTION_REQUEST) {
      const auto* r = reinterpret_cast<xcb_selection_request_event_t*>(e);
      if (r->target == save) {
        pending = *r;
        xcb_convert_selection(c, window, clipboard, utf8, copy, XCB_CURRENT_TIME);
        xcb_flush(c);
      } else if (r->selection == clipboard && r->target == utf8) {
        put(r->requestor, r->property, utf8, text);
        notify(r, r->property);
      } else {
        notify(r, XCB_NONE);
      }
    } else if (type == XCB_SELECTION_NOTIFY) {
      text = get(copy);
      std::printf("saved %s\n", text.c_str());
      std::fflush(stdout);
      own(clipboard);
      notify(&pending, pending.property);
    }
    std::free(e);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) return 1;
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  window = xcb_generate_id(c);
  const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, root, 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
  const std::string_view mode = argv[1];
  if (mode == "trickle") return endlessIncr(1024, std::chrono::milliseconds(100));
  if (mode == "flood") return endlessIncr(1 << 20, std::chrono::milliseconds(0));
  if (mode == "manager") return manager();
  if (mode == "secret" && argc > 2) return secret(argv[2]);
  if (mode == "ask") return ask();
  return 2;
}
