// A Wayland compositor stand-in for the tests: a wl_seat and the
// data-control clipboard, nothing else. Mode (argument): "ext" offers
// ext-data-control-v1 only, "both" also zwlr-data-control-unstable-v1,
// "none" neither. It prints "ready SOCKET", then answers lines on its
// standard input:
//   set FILE   the selection becomes FILE's bytes, owned by us ("set")
//   secret FILE  the same, marked as a password manager marks a secret
//   stall      from now on our selection is never sent ("stalled")
//   get FILE   the client's selection is read into FILE ("got N", and
//              " secret" when it is marked so)
// and says "cleared" when a client clears the selection.
#include <fcntl.h>
#include <unistd.h>
#include <wayland-server.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/linux/wayland/protocols/interfaces.h"

namespace {

constexpr const char* kType = "text/plain;charset=utf-8";
constexpr const char* kHint = "x-kde-passwordManagerHint";

struct Protocol {
  const wl_interface* manager;
  const wl_interface* device;
  const wl_interface* source;
  const wl_interface* offer;
};
const Protocol kExt{&ext_data_control_manager_v1_interface, &ext_data_control_device_v1_interface,
                    &ext_data_control_source_v1_interface, &ext_data_control_offer_v1_interface};
const Protocol kWlr{&zwlr_data_control_manager_v1_interface, &zwlr_data_control_device_v1_interface,
                    &zwlr_data_control_source_v1_interface, &zwlr_data_control_offer_v1_interface};

std::mutex outMutex;
void say(const std::string& line) {
  std::lock_guard lock(outMutex);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// The selection: our bytes, or a client's source.
std::shared_ptr<const std::string> ours;
bool oursSecret = false;  // offered with a password manager's mark
wl_resource* theirs = nullptr;
std::vector<std::string> theirTypes;
bool stalled = false;
std::vector<int> stalledFds;  // held open, never written
std::vector<wl_resource*> devices;

void destroy(wl_client*, wl_resource* r) { wl_resource_destroy(r); }

void receive(wl_client*, wl_resource*, const char* type, std::int32_t fd) {
  if (stalled || !ours) {
    stalledFds.push_back(fd);
    return;
  }
  const bool mark = std::string_view(type) == kHint;
  std::thread([fd, text = mark ? std::make_shared<const std::string>("secret") : ours] {
    for (std::size_t at = 0; at < text->size();) {
      const ssize_t n = ::write(fd, text->data() + at, text->size() - at);
      if (n <= 0) break;
      at += static_cast<std::size_t>(n);
    }
    ::close(fd);
  }).detach();
}
const struct {
  void (*receive)(wl_client*, wl_resource*, const char*, std::int32_t);
  void (*destroy)(wl_client*, wl_resource*);
} offerImpl{receive, destroy};

// Tells one device what the selection is now.
void announce(wl_resource* device) {
  const auto* protocol = static_cast<const Protocol*>(wl_resource_get_user_data(device));
  if (!ours && theirs == nullptr) {
    wl_resource_post_event(device, 1, nullptr);
    return;
  }
  wl_resource* offer = wl_resource_create(wl_resource_get_client(device), protocol->offer,
                                          wl_resource_get_version(device), 0);
  wl_resource_set_implementation(offer, &offerImpl, nullptr, nullptr);
  wl_resource_post_event(device, 0, offer);
  const std::vector<std::string> mine =
      oursSecret ? std::vector<std::string>{kType, kHint} : std::vector<std::string>{kType};
  for (const auto& type : ours ? mine : theirTypes) {
    wl_resource_post_event(offer, 0, type.c_str());
  }
  wl_resource_post_event(device, 1, offer);
}

void dropTheirs() {
  if (theirs != nullptr) wl_resource_post_event(theirs, 1);  // cancelled
  theirs = nullptr;
  theirTypes.clear();
}

void offer(wl_client*, wl_resource* source, const char* type) {
  auto* types = static_cast<std::vector<std::string>*>(wl_resource_get_user_data(source));
  types->emplace_back(type);
}
const struct {
  void (*offer)(wl_client*, wl_resource*, const char*);
  void (*destroy)(wl_client*, wl_resource*);
} sourceImpl{offer, destroy};

void setSelection(wl_client*, wl_resource*, wl_resource* source) {
  if (source == theirs) return;
  dropTheirs();
  ours.reset();
  if (source != nullptr) {
    theirs = source;
    theirTypes = *static_cast<std::vector<std::string>*>(wl_resource_get_user_data(source));
  } else {
    say("cleared");
  }
  for (auto* d : devices) announce(d);
}
const struct {
  void (*setSelection)(wl_client*, wl_resource*, wl_resource*);
  void (*destroy)(wl_client*, wl_resource*);
  void (*setPrimary)(wl_client*, wl_resource*, wl_resource*);
} deviceImpl{setSelection, destroy, [](wl_client*, wl_resource*, wl_resource*) {}};

void createSource(wl_client* client, wl_resource* manager, std::uint32_t id) {
  const auto* protocol = static_cast<const Protocol*>(wl_resource_get_user_data(manager));
  wl_resource* source =
      wl_resource_create(client, protocol->source, wl_resource_get_version(manager), id);
  wl_resource_set_implementation(
      source, &sourceImpl, new std::vector<std::string>, [](wl_resource* r) {
        if (r == theirs) theirs = nullptr;
        delete static_cast<std::vector<std::string>*>(wl_resource_get_user_data(r));
      });
}

void getDevice(wl_client* client, wl_resource* manager, std::uint32_t id, wl_resource*) {
  const auto* protocol = static_cast<const Protocol*>(wl_resource_get_user_data(manager));
  wl_resource* device =
      wl_resource_create(client, protocol->device, wl_resource_get_version(manager), id);
  wl_resource_set_implementation(device, &deviceImpl, const_cast<Protocol*>(protocol),
                                 [](wl_resource* r) { std::erase(devices, r); });
  devices.push_back(device);
  announce(device);
}
const struct {
  void (*createSource)(wl_client*, wl_resource*, std::uint32_t);
  void (*getDevice)(wl_client*, wl_resource*, std::uint32_t, wl_resource*);
  void (*destroy)(wl_client*, wl_resource*);
} managerImpl{createSource, getDevice, destroy};

void bindManager(wl_client* client, void* protocol, std::uint32_t version, std::uint32_t id) {
  const auto* p = static_cast<const Protocol*>(protocol);
  wl_resource* r = wl_resource_create(client, p->manager, static_cast<int>(version), id);
  wl_resource_set_implementation(r, &managerImpl, protocol, nullptr);
}

const struct {
  void (*getPointer)(wl_client*, wl_resource*, std::uint32_t);
  void (*getKeyboard)(wl_client*, wl_resource*, std::uint32_t);
  void (*getTouch)(wl_client*, wl_resource*, std::uint32_t);
  void (*release)(wl_client*, wl_resource*);
} seatImpl{[](wl_client*, wl_resource*, std::uint32_t) {},
           [](wl_client*, wl_resource*, std::uint32_t) {},
           [](wl_client*, wl_resource*, std::uint32_t) {}, destroy};

void bindSeat(wl_client* client, void*, std::uint32_t version, std::uint32_t id) {
  wl_resource* r = wl_resource_create(client, &wl_seat_interface, static_cast<int>(version), id);
  wl_resource_set_implementation(r, &seatImpl, nullptr, nullptr);
}

// Reads the client's selection into `file`, off the loop.
void get(const std::string& file) {
  int fds[2];
  if (theirs == nullptr || ::pipe2(fds, O_CLOEXEC) != 0) {
    say("got none");
    return;
  }
  wl_resource_post_event(theirs, 0, kType, fds[1]);  // the event carries its own copy
  ::close(fds[1]);
  const bool marked = std::find(theirTypes.begin(), theirTypes.end(), kHint) != theirTypes.end();
  std::thread([fd = fds[0], file, marked] {
    std::string text;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    std::ofstream(file, std::ios::binary) << text;
    say("got " + std::to_string(text.size()) + (marked ? " secret" : ""));
  }).detach();
}

std::string pending;
int onInput(int fd, std::uint32_t, void*) {
  char buf[4096];
  const ssize_t n = ::read(fd, buf, sizeof buf);
  if (n <= 0) std::exit(0);  // the test is done with us
  pending.append(buf, static_cast<std::size_t>(n));
  for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
    const std::string line = pending.substr(0, end);
    pending.erase(0, end + 1);
    if (line == "stall") {
      stalled = true;
      say("stalled");
    } else if (line.starts_with("set ") || line.starts_with("secret ")) {
      oursSecret = line.starts_with("secret ");
      std::ifstream in(line.substr(line.find(' ') + 1), std::ios::binary);
      dropTheirs();
      ours = std::make_shared<const std::string>(std::istreambuf_iterator<char>(in),
                                                 std::istreambuf_iterator<char>());
      for (auto* d : devices) announce(d);
      say("set");
    } else if (line.starts_with("get ")) {
      get(line.substr(4));
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "ext";
  wl_display* display = wl_display_create();
  const char* socket = wl_display_add_socket_auto(display);
  if (socket == nullptr) return 1;
  wl_global_create(display, &wl_seat_interface, 1, nullptr, bindSeat);
  if (mode != "none") {
    wl_global_create(display, kExt.manager, 1, const_cast<Protocol*>(&kExt), bindManager);
  }
  if (mode == "both") {
    wl_global_create(display, kWlr.manager, 2, const_cast<Protocol*>(&kWlr), bindManager);
  }
  wl_event_loop_add_fd(wl_display_get_event_loop(display), 0, WL_EVENT_READABLE, onInput, nullptr);
  say(std::string("ready ") + socket);
  wl_display_run(display);
}
