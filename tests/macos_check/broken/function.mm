// expect: use of undeclared identifier 'UnregisterEventHotKeys'
#include <Carbon/Carbon.h>

OSStatus broken(EventHotKeyRef ref) { return UnregisterEventHotKeys(ref); }
