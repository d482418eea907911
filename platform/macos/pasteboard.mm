// The general pasteboard, plain text only. Pasteboard calls can raise
// Objective-C exceptions; none leaves this file.
#import <AppKit/AppKit.h>

#include "platform/pasteboard.h"

namespace tavrik::platform {
namespace {

// The nspasteboard.org marks: a secret, and an item histories should skip.
NSString* const kConcealed = @"org.nspasteboard.ConcealedType";
NSString* const kTransient = @"org.nspasteboard.TransientType";

// The pasteboard's change count just after our last write; -1 before any.
NSInteger ourChange = -1;

}  // namespace

std::variant<PasteboardText, ReadFailure> readPasteboardText() {
  @autoreleasepool {
    @try {
      NSPasteboard* pasteboard = [NSPasteboard generalPasteboard];
      NSString* text = [pasteboard stringForType:NSPasteboardTypeString];
      if (text == nil) return ReadFailure::kNoText;
      NSData* bytes = [text dataUsingEncoding:NSUTF8StringEncoding];
      if (bytes == nil) return ReadFailure::kNoText;
      if ([bytes length] > kMaxText) return ReadFailure::kTooLarge;
      return PasteboardText{std::string(static_cast<const char*>([bytes bytes]), [bytes length]),
                            [[pasteboard types] containsObject:kConcealed] == YES};
    } @catch (NSException*) {
      return ReadFailure::kNoText;
    }
  }
}

bool writePasteboardText(std::string text, bool secret) {
  @autoreleasepool {
    @try {
      NSString* string = [[[NSString alloc] initWithBytes:text.data()
                                                   length:text.size()
                                                 encoding:NSUTF8StringEncoding] autorelease];
      if (string == nil) return false;
      NSPasteboard* pasteboard = [NSPasteboard generalPasteboard];
      [pasteboard clearContents];
      if ([pasteboard setString:string forType:NSPasteboardTypeString] != YES) return false;
      if (secret) {
        [pasteboard setString:@"" forType:kConcealed];
        [pasteboard setString:@"" forType:kTransient];
      }
      ourChange = [pasteboard changeCount];
      return true;
    } @catch (NSException*) {
      return false;
    }
  }
}

void clearPasteboardIfOurs() {
  @autoreleasepool {
    @try {
      NSPasteboard* pasteboard = [NSPasteboard generalPasteboard];
      // Anything written since, by anyone, changed the count.
      if ([pasteboard changeCount] == ourChange) [pasteboard clearContents];
    } @catch (NSException*) {
      // nothing to clear, then
    }
  }
}

// The pasteboard server is always there.
std::string whyClipboardUnreachable() { return {}; }

std::string_view pasteKeys() { return "Cmd+V"; }

}  // namespace tavrik::platform
