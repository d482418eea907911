#include "feedback/feedback.h"

#include <utf8proc.h>

#include <string>

#include "platform/feedback.h"

namespace tavrik {
namespace {

constexpr std::string_view kEllipsis = "…";

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

void showNotification(std::string_view title, std::string_view body, bool thanhCong) {
  platform::notify({cutText(title, kMaxTitleBytes), cutText(body, kMaxBodyBytes), thanhCong});
}

void phatTieng(bool thanhCong) { platform::playSound(thanhCong); }

}  // namespace tavrik
