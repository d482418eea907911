// The application on Windows: a message-only window on the main thread
// receives hotkeys, posted jobs, timers and the end of the session; one
// worker thread runs the background jobs.
#include <windows.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/app.h"
#include "platform/hotkey_event.h"
#include "platform/queues.h"
#include "platform/stderr.h"
#include "platform/windows/feedback.h"
#include "platform/windows/keys.h"
#include "platform/windows/text.h"
#include "platform/windows/trigger.h"
#include "platform/windows/window.h"

namespace tavrik::platform {
namespace {

constexpr UINT kRunJobs = WM_APP;
constexpr UINT kStop = WM_APP + 1;
constexpr UINT kTriggerPress = WM_APP + 2;

HWND window = nullptr;
HotKeyHandler handler = nullptr;

struct Queue {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<Job> jobs;
};
// Never destroyed: the worker may still wait on it at exit.
Queue& mainQueue = *new Queue;
Queue& background = *new Queue;

std::map<UINT_PTR, Job> timers;  // main thread only
UINT_PTR nextTimer = 1;

void runMainJobs() {
  for (;;) {
    Job job;
    {
      std::lock_guard lock(mainQueue.mutex);
      if (mainQueue.jobs.empty()) return;
      job = std::move(mainQueue.jobs.front());
      mainQueue.jobs.pop_front();
    }
    job();
  }
}

void backgroundWorker() {
  for (;;) {
    Job job;
    {
      std::unique_lock lock(background.mutex);
      background.ready.wait(lock, [] { return !background.jobs.empty(); });
      job = std::move(background.jobs.front());
      background.jobs.pop_front();
    }
    job();
  }
}

LRESULT CALLBACK onMessage(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kRunJobs:
      runMainJobs();
      return 0;
    case WM_HOTKEY:
    case kTriggerPress:
      if (handler != nullptr) {
        HotKeyEvent event{{0, static_cast<std::uint32_t>(wParam)}};
        handler(&event);
      }
      return 0;
    case WM_TIMER: {
      ::KillTimer(w, wParam);
      const auto it = timers.find(wParam);
      if (it == timers.end()) return 0;
      Job job = std::move(it->second);
      timers.erase(it);
      job();
      return 0;
    }
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      if (wParam) ::PostQuitMessage(0);
      return 0;
    case kStop:
    case WM_CLOSE:  // tavrik-startup stop
      ::PostQuitMessage(0);
      return 0;
    default:
      return ::DefWindowProcW(w, message, wParam, lParam);
  }
}

// Ctrl+C, Ctrl+Break and closing the console end the loop in order.
BOOL WINAPI onConsoleEvent(DWORD) {
  if (window == nullptr) return FALSE;
  ::PostMessageW(window, kStop, 0, 0);
  return TRUE;
}

}  // namespace

HWND agentWindow() { return window; }

bool makeApplication() {
  WNDCLASSEXW type{};
  type.cbSize = sizeof type;
  type.lpfnWndProc = onMessage;
  type.hInstance = ::GetModuleHandleW(nullptr);
  type.lpszClassName = L"TavrikAgent";
  if (::RegisterClassExW(&type) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    writeStderr("tavrik: không tạo được lớp cửa sổ: " + systemMessage(::GetLastError()) + "\n");
    return false;
  }
  window = ::CreateWindowExW(0, L"TavrikAgent", L"tavrik-agent", 0, 0, 0, 0, 0, HWND_MESSAGE,
                             nullptr, type.hInstance, nullptr);
  if (window == nullptr) {
    writeStderr("tavrik: không tạo được cửa sổ nhận tin: " + systemMessage(::GetLastError()) +
                "\n");
    return false;
  }
  try {
    std::thread(backgroundWorker).detach();
  } catch (const std::system_error& e) {
    writeStderr(std::string("tavrik: không tạo được luồng chạy nền: ") + e.what() + "\n");
    return false;
  }
  ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
  if (!listenForTriggers(window, kTriggerPress)) return false;
  // Jobs posted before the window existed.
  ::PostMessageW(window, kRunJobs, 0, 0);
  return true;
}

int runEventLoop() {
  MSG message;
  BOOL got;
  // 0 is WM_QUIT: the session ends, or we were told to stop.
  while ((got = ::GetMessageW(&message, nullptr, 0, 0)) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  removeNotificationIcon(window);
  return got == 0 ? 0 : 1;
}

void postMain(Job job) {
  {
    std::lock_guard lock(mainQueue.mutex);
    mainQueue.jobs.push_back(std::move(job));
  }
  if (window != nullptr) ::PostMessageW(window, kRunJobs, 0, 0);
}

void postMainAfter(std::chrono::milliseconds delay, Job job) {
  const UINT_PTR id = nextTimer++;
  timers.emplace(id, std::move(job));
  ::SetTimer(window, id, static_cast<UINT>(std::max<long long>(delay.count(), 0)), nullptr);
}

void postBackground(Job job) {
  {
    std::lock_guard lock(background.mutex);
    background.jobs.push_back(std::move(job));
  }
  background.ready.notify_one();
}

void installHotKeyHandler(HotKeyHandler h) { handler = h; }

std::int32_t getHotKeyID(HotKeyEvent* event, EventHotKeyID* out) {
  if (!event->readable) return -9870;  // as Carbon's eventParameterNotFoundErr
  *out = event->id;
  return 0;
}

void announceHotKeys(std::span<const HotKeyRequest>, std::function<void()> answered) { answered(); }

std::int32_t registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers, EventHotKeyID id) {
  const auto keys = windowsHotkey(keyCode, modifiers);
  if (!keys) return -9879;  // no such key here
  if (::RegisterHotKey(window, static_cast<int>(id.id), keys->modifiers | MOD_NOREPEAT,
                       keys->virtualKey)) {
    return 0;
  }
  return static_cast<std::int32_t>(::GetLastError());  // 1409: another program holds it
}

bool hotKeysUnavailable(std::int32_t) { return false; }

}  // namespace tavrik::platform
