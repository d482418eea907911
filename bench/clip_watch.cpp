// Prints the monotonic time (ns) of every change of the CLIPBOARD owner,
// one line each, for the press-to-result benchmark.
#include <time.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
  xcb_flush(c);
  const auto* ext = xcb_get_extension_data(c, &xcb_xfixes_id);
  std::puts("ready");
  std::fflush(stdout);
  while (xcb_generic_event_t* e = xcb_wait_for_event(c)) {
    if ((e->response_type & 0x7F) == ext->first_event + XCB_XFIXES_SELECTION_NOTIFY) {
      timespec ts{};
      clock_gettime(CLOCK_MONOTONIC, &ts);
      std::printf("%lld\n", static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec);
      std::fflush(stdout);
    }
    std::free(e);
  }
  return 0;
}
