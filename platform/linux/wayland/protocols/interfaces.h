#pragma once

// The interface descriptions that wayland-scanner made from the
// data-control protocols (for clients and servers alike).
#include <wayland-util.h>

extern "C" {
extern const struct wl_interface ext_data_control_manager_v1_interface;
extern const struct wl_interface ext_data_control_device_v1_interface;
extern const struct wl_interface ext_data_control_source_v1_interface;
extern const struct wl_interface ext_data_control_offer_v1_interface;
extern const struct wl_interface zwlr_data_control_manager_v1_interface;
extern const struct wl_interface zwlr_data_control_device_v1_interface;
extern const struct wl_interface zwlr_data_control_source_v1_interface;
extern const struct wl_interface zwlr_data_control_offer_v1_interface;
}
