// expect: instance method '-stringForTyp:' not found
#import <AppKit/AppKit.h>

bool broken() { return [[NSPasteboard generalPasteboard] stringForTyp:NSPasteboardTypeString]; }
