// The general pasteboard, plain text only. Pasteboard calls can raise
// Objective-C exceptions; none leaves this file.
#import <AppKit/AppKit.h>

#include "platform/pasteboard.h"

namespace tavrik::platform {

std::variant<std::string, ReadFailure> readPasteboardText() {
  @autoreleasepool {
    @try {
      NSString* text = [[NSPasteboard generalPasteboard] stringForType:NSPasteboardTypeString];
      if (text == nil) return ReadFailure::kNoText;
      NSData* bytes = [text dataUsingEncoding:NSUTF8StringEncoding];
      if (bytes == nil) return ReadFailure::kNoText;
      if ([bytes length] > kMaxText) return ReadFailure::kTooLarge;
      return std::string(static_cast<const char*>([bytes bytes]), [bytes length]);
    } @catch (NSException*) {
      return ReadFailure::kNoText;
    }
  }
}

bool writePasteboardText(std::string text) {
  @autoreleasepool {
    @try {
      NSString* string = [[[NSString alloc] initWithBytes:text.data()
                                                   length:text.size()
                                                 encoding:NSUTF8StringEncoding] autorelease];
      if (string == nil) return false;
      NSPasteboard* pasteboard = [NSPasteboard generalPasteboard];
      [pasteboard clearContents];
      return [pasteboard setString:string forType:NSPasteboardTypeString] == YES;
    } @catch (NSException*) {
      return false;
    }
  }
}

// The pasteboard server is always there.
std::string whyClipboardUnreachable() { return {}; }

}  // namespace tavrik::platform
