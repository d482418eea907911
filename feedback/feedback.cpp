#include "feedback/feedback.h"

#include <utf8proc.h>

#include <string>
#include <vector>

#include "platform/programs.h"
#include "platform/stderr.h"

namespace tavrik {
namespace {

constexpr std::string_view kEllipsis = "…";

void launch(const std::string& program, std::vector<std::string> argv) {
  // Telling the user failed: the operator at least hears of it.
  if (const auto failed = platform::launchProgram(program, argv)) {
    platform::writeStderr("tavrik: không chạy được " + program + ": " + failed->description + "\n");
  }
}

}  // namespace

std::string cutText(std::string_view text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return std::string(text);
  const std::size_t room = maxBytes > kEllipsis.size() ? maxBytes - kEllipsis.size() : 0;
  // The last grapheme boundary that fits; bytes that are not UTF-8 count
  // as characters of their own.
  const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  std::size_t at = 0, fits = 0;
  utf8proc_int32_t previous = -1, state = 0;
  while (at <= room && at < text.size()) {
    utf8proc_int32_t c = -1;
    const auto n = utf8proc_iterate(p + at, static_cast<utf8proc_ssize_t>(text.size() - at), &c);
    if (previous < 0 || c < 0 || utf8proc_grapheme_break_stateful(previous, c, &state)) fits = at;
    previous = c < 0 ? 0xFFFD : c;
    at += n > 0 ? static_cast<std::size_t>(n) : 1;
  }
  return std::string(text.substr(0, fits)) + std::string(kEllipsis);
}

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
  script += quote(cutText(body, kMaxBodyBytes));
  script += " with title ";
  script += quote(cutText(title, kMaxTitleBytes));
  const auto program = platform::notifierProgram();
  launch(program, {program, "-e", std::move(script)});
}

void phatTieng(bool thanhCong) {
  const auto program = platform::soundProgram();
  launch(program, {program, std::string(thanhCong ? kSuccessSound : kFailureSound)});
}

}  // namespace tavrik
