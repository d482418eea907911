// expect: no matching function for call to 'RegisterEventHotKey'
#include <Carbon/Carbon.h>

OSStatus broken() {
  EventHotKeyRef ref = nullptr;
  return RegisterEventHotKey(8, 0x1800, 42, GetApplicationEventTarget(), 0, &ref);
}
