// The Linux application: the event loop, its queues and timers, and the stop
// signals. Its inputs are sources (desktop.h): the trigger socket, the X
// display, the Wayland connection, the session bus, as the routes chose.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
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
#include "platform/queues.h"
#include "platform/stderr.h"

namespace tavrik {
namespace desktop {
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
std::vector<Source*>& sources = *new std::vector<Source*>;

// Jobs due at a time. The first source: they run before any other source
// reads its events, so a press that comes after a job's time finds it done.
class Timers : public Source {
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

Millis monotonicMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void addSource(Source* source) { sources.push_back(source); }

}  // namespace desktop

namespace platform {

bool makeApplication() {
  desktop::mainQueue.wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (desktop::mainQueue.wakeFd < 0) {
    writeStderr(std::string("tavrik: không tạo được eventfd: ") + std::strerror(errno) + "\n");
    return false;
  }
  try {
    std::thread(desktop::backgroundWorker).detach();
  } catch (const std::system_error& e) {
    writeStderr(std::string("tavrik: không tạo được luồng chạy nền: ") + e.what() + "\n");
    return false;
  }
  if (!desktop::handleStopSignals()) {
    writeStderr(std::string("tavrik: không đặt được xử lý tín hiệu: ") + std::strerror(errno) +
                "\n");
    return false;
  }
  desktop::addSource(&desktop::timers);
  return routes::choose();
}

int runEventLoop() {
  using namespace desktop;
  for (;;) {
    if (stopRequested.load()) {
      routes::stop();
      return 0;
    }
    while (runOneMainJob()) {
    }
    // What a source does may post jobs (the wake-up descriptor then
    // ends the wait at once) or set timers.
    std::optional<Millis> wakeBy;
    for (auto* source : sources) {
      if (const auto t = source->prepare(); t && (!wakeBy || *t < *wakeBy)) wakeBy = t;
    }
    if (const auto due = timers.next(); due && (!wakeBy || *due < *wakeBy)) wakeBy = due;

    std::vector<pollfd> fds{{mainQueue.wakeFd, POLLIN, 0}};
    std::vector<std::size_t> firsts;
    for (auto* source : sources) {
      firsts.push_back(fds.size());
      source->watch(fds);
    }
    firsts.push_back(fds.size());
    int timeout = -1;  // idle: sleep until something happens
    if (wakeBy) {
      timeout = static_cast<int>(std::clamp<Millis>(*wakeBy - monotonicMillis(), 0, 1 << 30));
    }
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) return 1;
    if (fds[0].revents & POLLIN) {
      std::uint64_t count;
      (void)!::read(mainQueue.wakeFd, &count, sizeof count);
    }
    // Only those watched: a press may have made another source since.
    for (std::size_t i = 0; i + 1 < firsts.size(); ++i) {
      const std::span<const pollfd> mine(fds.data() + firsts[i], firsts[i + 1] - firsts[i]);
      if (!sources[i]->handle(mine)) return 1;
    }
  }
}

void postMain(Job job) {
  {
    std::lock_guard lock(desktop::mainQueue.mutex);
    desktop::mainQueue.jobs.push_back(std::move(job));
  }
  const std::uint64_t one = 1;
  (void)!::write(desktop::mainQueue.wakeFd, &one, sizeof one);
}

void postMainAfter(std::chrono::milliseconds delay, Job job) {
  desktop::timers.add(desktop::monotonicMillis() + delay.count(), std::move(job));
}

void postBackground(Job job) {
  {
    std::lock_guard lock(desktop::background.mutex);
    desktop::background.jobs.push_back(std::move(job));
  }
  desktop::background.ready.notify_one();
}

}  // namespace platform
}  // namespace tavrik
