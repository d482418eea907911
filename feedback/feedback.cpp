#include "feedback/feedback.h"

#include <string>
#include <vector>

#include "platform/programs.h"

namespace tavrik {

std::string quote(std::string_view text) {
  // Backslashes and quotes are escaped in one pass, which is the same as
  // doubling backslashes first and then escaping quotes.
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (const char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

void showNotification(std::string_view title, std::string_view body) {
  std::string script = "display notification ";
  script += quote(body);
  script += " with title ";
  script += quote(title);
  const auto program = platform::notifierProgram();
  platform::launchProgram(program, {program, "-e", std::move(script)});
}

void phatTieng(bool thanhCong) {
  const auto program = platform::soundProgram();
  platform::launchProgram(program,
                          {program, std::string(thanhCong ? kSuccessSound : kFailureSound)});
}

}  // namespace tavrik
