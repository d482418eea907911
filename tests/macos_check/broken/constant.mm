// expect: use of undeclared identifier 'kEventHotKeyReleased'
#include <Carbon/Carbon.h>

EventTypeSpec broken() { return {kEventClassKeyboard, kEventHotKeyReleased}; }
