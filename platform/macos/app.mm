// The accessory application and Carbon hotkeys.
#import <AppKit/AppKit.h>
#include <Carbon/Carbon.h>

#include "platform/app.h"
#include "platform/hotkeys.h"

namespace tavrik::platform {
namespace {

HotKeyHandler handler = nullptr;
EventTypeSpec eventType = {kEventClassKeyboard, kEventHotKeyPressed};
EventHandlerRef handlerRef = nullptr;

OSStatus onHotKeyPressed(EventHandlerCallRef, EventRef event, void*) {
  // The Carbon event travels through the seam as an opaque pointer.
  return handler ? handler(reinterpret_cast<HotKeyEvent*>(event)) : noErr;
}

}  // namespace

void makeApplication() {
  [NSApplication sharedApplication];
  (void)[NSApp setActivationPolicy:NSApplicationActivationPolicyAccessory];
}

int runEventLoop() {
  [NSApp run];
  return 0;
}

void installHotKeyHandler(HotKeyHandler h) {
  handler = h;
  (void)InstallEventHandler(GetApplicationEventTarget(), NewEventHandlerUPP(onHotKeyPressed), 1,
                            &eventType, nullptr, &handlerRef);
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

std::int32_t registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers, EventHotKeyID id) {
  EventHotKeyRef ref = nullptr;  // never unregistered, so not kept
  const ::EventHotKeyID carbonID = {id.signature, id.id};
  return RegisterEventHotKey(keyCode, modifiers, carbonID, GetApplicationEventTarget(), 0, &ref);
}

}  // namespace tavrik::platform
