// Another X client that holds a key combination: grabs Control+Mod1+<keysym>
// on the root window, prints "grabbed" and waits to be killed.
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <unistd.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) return 1;
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  xcb_key_symbols_t* syms = xcb_key_symbols_alloc(c);
  xcb_keycode_t* codes = xcb_key_symbols_get_keycode(
      syms, static_cast<xcb_keysym_t>(std::strtoul(argv[1], nullptr, 0)));
  if (!codes || *codes == XCB_NO_SYMBOL) return 1;
  const auto mask = static_cast<std::uint16_t>(XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1);
  if (xcb_generic_error_t* e =
          xcb_request_check(c, xcb_grab_key_checked(c, 1, root, mask, codes[0], XCB_GRAB_MODE_ASYNC,
                                                    XCB_GRAB_MODE_ASYNC))) {
    std::fprintf(stderr, "grab failed: %d\n", e->error_code);
    return 1;
  }
  std::puts("grabbed");
  std::fflush(stdout);
  pause();
}
