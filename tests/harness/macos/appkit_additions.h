// Only for checking the macOS backend on Linux: AppKit methods that
// GNUstep lacks, declared from their documented signatures.
#import <AppKit/AppKit.h>

@interface NSApplication (TavrikCheck)
- (BOOL)setActivationPolicy:(NSApplicationActivationPolicy)activationPolicy;
@end

@interface NSPasteboard (TavrikCheck)
- (NSInteger)clearContents;
@end
