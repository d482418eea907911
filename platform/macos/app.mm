// The accessory application and Carbon hotkeys.
#import <AppKit/AppKit.h>
#include <Carbon/Carbon.h>
#include <dispatch/dispatch.h>
#include <signal.h>

#include <cstddef>
#include <cstdlib>
#include <initializer_list>
#include <string>

#include "platform/app.h"
#include "platform/hotkeys.h"
#include "platform/stderr.h"

namespace tavrik::platform {
namespace {

// Our identifier crosses the seam as Carbon's own.
static_assert(sizeof(EventHotKeyID) == sizeof(::EventHotKeyID) &&
              offsetof(EventHotKeyID, id) == offsetof(::EventHotKeyID, id));

HotKeyHandler handler = nullptr;
EventTypeSpec eventType = {kEventClassKeyboard, kEventHotKeyPressed};
EventHandlerRef handlerRef = nullptr;

// The pasteboard keeps its contents after we exit: stopping is just exit 0.
void onStopSignal(void*) { std::_Exit(0); }

OSStatus onHotKeyPressed(EventHandlerCallRef, EventRef event, void*) {
  // The Carbon event travels through the seam as an opaque pointer.
  return handler ? handler(reinterpret_cast<HotKeyEvent*>(event)) : noErr;
}

}  // namespace

int sendTrigger(std::string_view) {
  writeStderr("tavrik: --trigger chỉ dùng trên Linux; trên macOS phím tắt đi thẳng tới agent\n");
  return 2;
}

bool makeApplication() {
  [NSApplication sharedApplication];
  (void)[NSApp setActivationPolicy:NSApplicationActivationPolicyAccessory];
  // Delivered on the main queue; ignoring them only stops the default
  // action (children get every signal reset to default).
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    ::signal(signal, SIG_IGN);
    dispatch_source_t source = dispatch_source_create(
        DISPATCH_SOURCE_TYPE_SIGNAL, static_cast<uintptr_t>(signal), 0, dispatch_get_main_queue());
    if (source == nullptr) return false;
    dispatch_source_set_event_handler_f(source, onStopSignal);
    dispatch_resume(source);  // kept for the life of the process
  }
  return true;
}

int runEventLoop() {
  [NSApp run];
  return 0;
}

void installHotKeyHandler(HotKeyHandler h) {
  handler = h;
  // Without the handler no press would ever arrive: say so.
  const OSStatus status =
      InstallEventHandler(GetApplicationEventTarget(), NewEventHandlerUPP(onHotKeyPressed), 1,
                          &eventType, nullptr, &handlerRef);
  if (status != noErr) {
    writeStderr("tavrik: InstallEventHandler lỗi: " + std::to_string(status) + "\n");
  }
}

std::int32_t getHotKeyID(HotKeyEvent* event, EventHotKeyID* out) {
  ::EventHotKeyID id = {0, 0};
  const OSStatus status =
      GetEventParameter(reinterpret_cast<EventRef>(event), kEventParamDirectObject,
                        typeEventHotKeyID, nullptr, sizeof id, nullptr, &id);
  out->signature = id.signature;
  out->id = id.id;
  return status;
}

// Carbon claims one key at a time, and always can: every refusal is real.
void announceHotKeys(std::span<const HotKeyRequest>, std::function<void()> answered) { answered(); }
bool hotKeysUnavailable(std::int32_t) { return false; }
std::string triggerProgram() { return {}; }
void keepForStatus(std::string_view) {}
bool triggerUsedBefore() { return false; }

std::int32_t registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers, EventHotKeyID id) {
  EventHotKeyRef ref = nullptr;  // never unregistered, so not kept
  const ::EventHotKeyID carbonID = {id.signature, id.id};
  // Exclusive: without it a combination another application holds is
  // registered "successfully" and the presses may never reach us.
  return RegisterEventHotKey(keyCode, modifiers, carbonID, GetApplicationEventTarget(),
                             kEventHotKeyExclusive, &ref);
}

}  // namespace tavrik::platform
