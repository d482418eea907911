#include "platform/fake/fake.h"

#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/app.h"
#include "platform/hotkey_event.h"
#include "platform/pasteboard.h"
#include "platform/process.h"
#include "platform/queues.h"

namespace tavrik {

namespace fake {
namespace {

struct State {
  std::mutex mutex;
  std::condition_variable mainPosted;
  std::thread::id mainThread;
  platform::HotKeyHandler handler = nullptr;
  bool pasteboardHasText = false;
  std::string pasteboard;
  bool failWrites = false;
  bool touchedOffMain = false;
  std::vector<Told> told;
  std::deque<platform::Job> mainJobs;
  bool holdBackground = false;
  std::vector<platform::Job> heldJobs;
  std::vector<std::thread> workers;
};

State state;

void noteClipboardThread() {
  if (std::this_thread::get_id() != state.mainThread) state.touchedOffMain = true;
}

void startWorker(platform::Job job) { state.workers.emplace_back(std::move(job)); }

}  // namespace

void reset() {
  waitBackgroundIdle();
  std::lock_guard lock(state.mutex);
  state.mainThread = std::this_thread::get_id();
  state.handler = nullptr;
  state.pasteboardHasText = false;
  state.pasteboard.clear();
  state.failWrites = false;
  state.touchedOffMain = false;
  state.told = {};  // and give the memory back
  state.mainJobs.clear();
  state.holdBackground = false;
  state.heldJobs.clear();
}

std::int32_t press(std::uint32_t id) {
  platform::HotKeyEvent event{{0x54565246 /* a stranger's signature */, id}};
  return state.handler(&event);
}

std::int32_t pressUnreadable() {
  platform::HotKeyEvent event{{0, 1}, false};
  return state.handler(&event);
}

void setPasteboardText(std::string text) {
  state.pasteboardHasText = true;
  state.pasteboard = std::move(text);
}

std::optional<std::string> pasteboardText() {
  if (!state.pasteboardHasText) return std::nullopt;
  return state.pasteboard;
}

void failPasteboardWrites(bool fail) { state.failWrites = fail; }
bool pasteboardTouchedOffMain() { return state.touchedOffMain; }

std::vector<Told> told() {
  std::lock_guard lock(state.mutex);
  return state.told;
}

std::size_t waitForMainJobs(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(state.mutex);
  state.mainPosted.wait_for(lock, timeout, [&] { return state.mainJobs.size() >= count; });
  return state.mainJobs.size();
}

bool runNextMainJob() {
  platform::Job job;
  {
    std::lock_guard lock(state.mutex);
    if (state.mainJobs.empty()) return false;
    job = std::move(state.mainJobs.front());
    state.mainJobs.pop_front();
  }
  job();
  return true;
}

void drainMain() {
  while (runNextMainJob()) {
  }
}

void holdBackground(bool hold) {
  std::vector<platform::Job> released;
  {
    std::lock_guard lock(state.mutex);
    state.holdBackground = hold;
    if (!hold) released.swap(state.heldJobs);
  }
  for (auto& job : released) {
    std::lock_guard lock(state.mutex);
    startWorker(std::move(job));
  }
}

void waitBackgroundIdle() {
  for (;;) {
    std::vector<std::thread> workers;
    {
      std::lock_guard lock(state.mutex);
      workers.swap(state.workers);
    }
    if (workers.empty()) return;
    for (auto& t : workers) t.join();
  }
}

}  // namespace fake

namespace platform {

bool makeApplication() { return true; }

int runEventLoop() { return 0; }

void installHotKeyHandler(HotKeyHandler handler) {
  std::lock_guard lock(fake::state.mutex);
  fake::state.handler = handler;
}

std::int32_t getHotKeyID(HotKeyEvent* event, EventHotKeyID* out) {
  if (!event->readable) return -9870;  // eventParameterNotFoundErr-like
  *out = event->id;
  return 0;
}

void announceHotKeys(std::span<const HotKeyRequest>, std::function<void()> answered) { answered(); }
std::int32_t registerHotKey(std::uint32_t, std::uint32_t, EventHotKeyID) { return 0; }
bool hotKeysUnavailable(std::int32_t) { return false; }
std::string triggerProgram() { return {}; }
void keepForStatus(std::string_view) {}
bool triggerUsedBefore() { return false; }

std::variant<PasteboardText, ReadFailure> readPasteboardText() {
  fake::noteClipboardThread();
  if (auto text = fake::pasteboardText()) return PasteboardText{std::move(*text)};
  return ReadFailure::kNoText;
}

bool writePasteboardText(std::string text, bool) {
  fake::noteClipboardThread();
  if (fake::state.failWrites) return false;
  fake::state.pasteboardHasText = true;
  fake::state.pasteboard = std::move(text);
  return true;
}

void clearPasteboardIfOurs() {}

std::string whyClipboardUnreachable() { return {}; }

// As on the machine the tests run on.
std::string_view pasteKeys() { return "Ctrl+V"; }

void postMain(Job job) {
  {
    std::lock_guard lock(fake::state.mutex);
    fake::state.mainJobs.push_back(std::move(job));
  }
  fake::state.mainPosted.notify_all();
}

// The delay is the real platforms' business: here the job simply queues.
void postMainAfter(std::chrono::milliseconds, Job job) { postMain(std::move(job)); }

void postBackground(Job job) {
  std::lock_guard lock(fake::state.mutex);
  if (fake::state.holdBackground) {
    fake::state.heldJobs.push_back(std::move(job));
    return;
  }
  fake::startWorker(std::move(job));
}

void notify(Notice notice) {
  std::lock_guard lock(fake::state.mutex);
  fake::state.told.push_back(
      {false, std::move(notice), std::this_thread::get_id() == fake::state.mainThread});
}

void playSound(bool success) {
  std::lock_guard lock(fake::state.mutex);
  fake::state.told.push_back(
      {true, {"", "", success}, std::this_thread::get_id() == fake::state.mainThread});
}

}  // namespace platform
}  // namespace tavrik
