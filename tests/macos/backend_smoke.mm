// macOS only: the backend at run time, in a real application. Exits 0 when
// a pasteboard write reads back, a second registration of one combination
// is refused, and a job posted to the main queue runs under the event loop.
#import <AppKit/AppKit.h>

#include <cstdio>
#include <string>
#include <variant>

#include "platform/app.h"
#include "platform/hotkeys.h"
#include "platform/pasteboard.h"
#include "platform/queues.h"

using namespace tavrik::platform;

namespace {

int failures = 0;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "FAILED: %s\n", what);
    ++failures;
  }
}

}  // namespace

int main() {
  check(makeApplication(), "makeApplication");
  const std::string text = "Tavrik smoke — tiếng Việt\n";
  for (const bool secret : {false, true}) {
    check(writePasteboardText(text, secret), "pasteboard write");
    check(readPasteboardText() == decltype(readPasteboardText())(PasteboardText{text, secret}),
          "pasteboard reads back what was written, and its mark");
  }
  clearPasteboardIfOurs();
  check(std::holds_alternative<ReadFailure>(readPasteboardText()), "our secret cleared");

  installHotKeyHandler([](HotKeyEvent*) -> std::int32_t { return 0; });
  // ctrl+alt+shift+f12: unlikely to be anybody's.
  check(registerHotKey(111, 0x1A00, {0x54565246, 1}) == 0, "first registration");
  check(registerHotKey(111, 0x1A00, {0x54565246, 2}) != 0, "second registration refused");

  postMain([] {
    std::fprintf(stderr, "main-queue job ran under the event loop\n");
    std::exit(failures == 0 ? 0 : 1);
  });
  runEventLoop();
  return 1;  // only the job above may end it
}
