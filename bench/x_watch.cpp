// Prints, one line each, with the monotonic time in ns:
//   key NS      a key press as the server saw it (XInput2 raw event,
//               delivered whoever holds a grab on the key)
//   owner NS    a change of the CLIPBOARD owner (XFixes)
// for the press-to-result benchmark.
#include <time.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>
#include <xcb/xinput.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

long long monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

}  // namespace

int main() {
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) return 1;
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;

  std::free(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
  const char* name = "CLIPBOARD";
  auto* atom = xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
  if (!atom) return 1;
  xcb_xfixes_select_selection_input(c, root, atom->atom,
                                    XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER);
  std::free(atom);

  std::free(xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr));
  struct {
    xcb_input_event_mask_t head;
    std::uint32_t bits;
  } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS};
  xcb_input_xi_select_events(c, root, 1, &mask.head);
  xcb_flush(c);

  const auto* xfixes = xcb_get_extension_data(c, &xcb_xfixes_id);
  const auto* xinput = xcb_get_extension_data(c, &xcb_input_id);
  std::puts("ready");
  std::fflush(stdout);
  while (xcb_generic_event_t* e = xcb_wait_for_event(c)) {
    const long long now = monotonicNs();
    const auto type = e->response_type & 0x7F;
    if (type == xfixes->first_event + XCB_XFIXES_SELECTION_NOTIFY) {
      std::printf("owner %lld\n", now);
    } else if (type == XCB_GE_GENERIC) {
      const auto* ge = reinterpret_cast<xcb_ge_generic_event_t*>(e);
      if (ge->extension == xinput->major_opcode && ge->event_type == XCB_INPUT_RAW_KEY_PRESS) {
        std::printf("key %lld\n", now);
      }
    }
    std::fflush(stdout);
    std::free(e);
  }
  return 0;
}
