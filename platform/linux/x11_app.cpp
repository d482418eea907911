// The Linux application: the event loop, the queues, stop signals, and the
// X display connection (one of the loop's inputs, when a route uses it).
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include "platform/linux/xcb_xkb.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/app.h"
#include "platform/linux/desktop.h"
#include "platform/linux/routes.h"
#include "platform/linux/trigger.h"
#include "platform/linux/x11.h"
#include "platform/queues.h"
#include "platform/stderr.h"

namespace tavrik {
namespace x11 {

Display display;

namespace {

// Main queue: jobs from any thread, run by the loop in the order posted.
// The wake-up descriptor is made by makeApplication, once descriptors 0-2
// are known to be open.
struct MainQueue {
  std::mutex mutex;
  std::deque<platform::Job> jobs;
  int wakeFd = -1;
};
// Never destroyed: other threads may still use the queues while the
// process exits (destroying a condition variable with a waiter hangs).
MainQueue& mainQueue = *new MainQueue;

// The background queue: one worker, made at start-up and kept, so a press
// costs no thread creation (and no fresh malloc arena) before the tool.
struct BackgroundQueue {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<platform::Job> jobs;
};
BackgroundQueue& background = *new BackgroundQueue;

void backgroundWorker() {
  for (;;) {
    platform::Job job;
    {
      std::unique_lock lock(background.mutex);
      background.ready.wait(lock, [] { return !background.jobs.empty(); });
      job = std::move(background.jobs.front());
      background.jobs.pop_front();
    }
    job();
  }
}

// Set by SIGTERM, SIGINT and SIGHUP; the loop then ends in order.
std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void onStopSignal(int) {
  const int saved = errno;
  stopRequested.store(true);
  const std::uint64_t one = 1;
  (void)!::write(mainQueue.wakeFd, &one, sizeof one);
  errno = saved;
}

bool handleStopSignals() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    if (::sigaction(signal, &action, nullptr) != 0) return false;
  }
  return true;
}

// Kept for the life of the process, as the sources in it are.
std::vector<desktop::Source*>& sources = *new std::vector<desktop::Source*>;

// Jobs due at a time. The first source: they run before the loop reads X
// events or any other source, so a press that comes after a job's time
// finds it done.
class Timers : public desktop::Source {
 public:
  void add(Millis at, platform::Job job) { due_.emplace(at, std::move(job)); }
  std::optional<Millis> next() const {
    if (due_.empty()) return std::nullopt;
    return due_.begin()->first;
  }
  std::optional<Millis> prepare() override {
    runDue();
    return next();
  }
  void watch(std::vector<pollfd>&) override {}
  bool handle(std::span<const pollfd>) override {
    runDue();
    return true;
  }

 private:
  void runDue() {
    while (!due_.empty() && due_.begin()->first <= monotonicMillis()) {
      auto job = std::move(due_.begin()->second);
      due_.erase(due_.begin());
      job();
    }
  }
  std::multimap<Millis, platform::Job> due_;
};
Timers& timers = *new Timers;  // kept for the life of the process

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

bool runOneMainJob() {
  platform::Job job;
  {
    std::lock_guard lock(mainQueue.mutex);
    if (mainQueue.jobs.empty()) return false;
    job = std::move(mainQueue.jobs.front());
    mainQueue.jobs.pop_front();
  }
  job();
  return true;
}

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

}  // namespace x11

namespace desktop {

Millis monotonicMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void addSource(Source* source) { x11::sources.push_back(source); }

}  // namespace desktop

namespace platform {

bool makeApplication() {
  x11::mainQueue.wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (x11::mainQueue.wakeFd < 0) {
    writeStderr(std::string("tavrik: không tạo được eventfd: ") + std::strerror(errno) + "\n");
    return false;
  }
  try {
    std::thread(x11::backgroundWorker).detach();
  } catch (const std::system_error& e) {
    writeStderr(std::string("tavrik: không tạo được luồng chạy nền: ") + e.what() + "\n");
    return false;
  }
  if (!x11::handleStopSignals()) {
    writeStderr(std::string("tavrik: không đặt được xử lý tín hiệu: ") + std::strerror(errno) +
                "\n");
    return false;
  }
  desktop::addSource(&x11::timers);
  return routes::choose();
}

int runEventLoop() {
  using x11::display;
  for (;;) {
    if (x11::stopRequested.load()) {
      if (x11::connected()) x11::handOverClipboard();
      trigger::stop();
      return 0;
    }
    // Sources first: what they do may post jobs or read X events.
    std::optional<x11::Millis> wakeBy;
    for (auto* source : x11::sources) {
      if (const auto t = source->prepare(); t && (!wakeBy || *t < *wakeBy)) wakeBy = t;
    }
    if (x11::connected()) {
      while (auto* e = x11::nextEvent()) {
        x11::dispatch(e);
        std::free(e);
      }
    }
    while (x11::runOneMainJob()) {
    }
    if (x11::connected()) {
      if (x11::keyboardDirty) {
        x11::keyboardDirty = false;
        x11::keyboardChanged();
      }
      if (int error = xcb_connection_has_error(display.c); error != 0) {
        writeStderr("tavrik: mất kết nối với màn hình X (lỗi " + std::to_string(error) + ")\n");
        return 1;
      }
      x11::expireTransfers(x11::monotonicMillis());
      // Jobs may have left replies' events in xcb's queue: no poll then.
      if (auto* e = xcb_poll_for_queued_event(display.c)) {
        x11::keptEvents.push_back(e);
        continue;
      }
      xcb_flush(display.c);
    }

    std::vector<pollfd> fds{{x11::mainQueue.wakeFd, POLLIN, 0}};
    if (x11::connected()) fds.push_back({xcb_get_file_descriptor(display.c), POLLIN, 0});
    std::vector<std::size_t> firsts;
    for (auto* source : x11::sources) {
      firsts.push_back(fds.size());
      source->watch(fds);
    }
    firsts.push_back(fds.size());
    if (const auto deadline = x11::connected() ? x11::transferDeadline() : std::nullopt) {
      if (!wakeBy || *deadline < *wakeBy) wakeBy = deadline;
    }
    // A job that ran since the sources were prepared may have set a timer.
    if (const auto due = x11::timers.next(); due && (!wakeBy || *due < *wakeBy)) wakeBy = due;
    int timeout = -1;  // idle: sleep until something happens
    if (wakeBy) {
      timeout =
          static_cast<int>(std::clamp<x11::Millis>(*wakeBy - x11::monotonicMillis(), 0, 1 << 30));
    }
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) return 1;
    if (fds[0].revents & POLLIN) {
      std::uint64_t count;
      (void)!::read(x11::mainQueue.wakeFd, &count, sizeof count);
    }
    for (std::size_t i = 0; i < x11::sources.size(); ++i) {
      const std::span<const pollfd> mine(fds.data() + firsts[i], firsts[i + 1] - firsts[i]);
      if (!x11::sources[i]->handle(mine)) return 1;
    }
  }
}

void postMain(Job job) {
  {
    std::lock_guard lock(x11::mainQueue.mutex);
    x11::mainQueue.jobs.push_back(std::move(job));
  }
  const std::uint64_t one = 1;
  (void)!::write(x11::mainQueue.wakeFd, &one, sizeof one);
}

void postMainAfter(std::chrono::milliseconds delay, Job job) {
  x11::timers.add(x11::monotonicMillis() + delay.count(), std::move(job));
}

void postBackground(Job job) {
  {
    std::lock_guard lock(x11::background.mutex);
    x11::background.jobs.push_back(std::move(job));
  }
  x11::background.ready.notify_one();
}

}  // namespace platform
}  // namespace tavrik
