// Must not compile: proves the check catches a misspelt selector and a
// wrong Carbon call.
#import <AppKit/AppKit.h>
#include <Carbon/Carbon.h>

int broken() {
  NSString* s = [[NSPasteboard generalPasteboard] stringForTyp:NSPasteboardTypeString];
  EventHotKeyRef ref = nullptr;
  return RegisterEventHotKey(8, 0x1800, 42, GetApplicationEventTarget(), 0, &ref) + (s != nil);
}
