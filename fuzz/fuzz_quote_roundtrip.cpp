// The notification program reads back exactly the texts that quote() wrote.
// The input is the title, a NUL, the body.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "feedback/feedback.h"
#include "platform/standin/standin.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  const auto nul = all.find('\0');
  const std::string title(all.substr(0, nul));
  const std::string body(nul == std::string_view::npos ? "" : all.substr(nul + 1));
  const std::string script =
      "display notification " + tavrik::quote(body) + " with title " + tavrik::quote(title);
  const auto parsed = tavrik::standin::parseNotificationScript(script);
  if (!parsed || parsed->title != title || parsed->body != body) std::abort();
  // Whatever else it is given, it must not crash.
  (void)tavrik::standin::parseNotificationScript(all);
  return 0;
}
