// Push and pull: the two actions behind the hotkeys.
#include <exception>
#include <string>
#include <utility>
#include <variant>

#include "feedback/feedback.h"
#include "platform/pasteboard.h"
#include "platform/queues.h"
#include "relay/companion.h"
#include "relay/runner.h"

namespace tavrik {
namespace {

constexpr std::string_view kStumbled = "Tavrik trượt chân";

void reportFailure(std::string_view line) {
  phatTieng(false);
  showNotification(kStumbled, line, false);
}

// A clipboard that cannot be reached is not an empty one.
std::string unreachableText() {
  return "Không với tới được clipboard: " + platform::whyClipboardUnreachable() + ".";
}

std::string readFailureText(platform::ReadFailure failure) {
  using platform::ReadFailure;
  switch (failure) {
    case ReadFailure::kNoAnswer:
      return "Ứng dụng đang giữ clipboard không trả lời.";
    case ReadFailure::kTooSlow:
      return "Ứng dụng đang giữ clipboard gửi quá chậm (quá 10 giây).";
    case ReadFailure::kTooLarge:
      return "Chữ trong clipboard quá lớn (hơn " + std::to_string(platform::kMaxText >> 20) +
             " MiB).";
    case ReadFailure::kUnreachable:
      return unreachableText();
    case ReadFailure::kNoText:
      break;
  }
  return {};
}

// Whether what the tool wrote on descriptor 3 marks the text as a secret:
// a line "secret"; anything else there means nothing.
bool marksSecret(std::string_view meta) {
  while (!meta.empty()) {
    const auto end = meta.find('\n');
    if (meta.substr(0, end) == "secret") return true;
    if (end == std::string_view::npos) break;
    meta.remove_prefix(end + 1);
  }
  return false;
}

}  // namespace

// Main thread. The write is checked: a clipboard we could not take is a
// failure, not a success. A secret leaves the clipboard after a while,
// unless something was written since (by us: counted; by others: the
// platform knows).
void Runner::updatePasteboard(std::string text, bool secret) {
  bool written = false;
  try {
    written = platform::writePasteboardText(std::move(text), secret);
  } catch (const std::exception&) {
    // out of memory for our copy: the same as a clipboard we could not take
  }
  if (!written) {
    const bool unreachable = !platform::whyClipboardUnreachable().empty();
    reportFailure(unreachable ? unreachableText() : "Không ghi được vào clipboard.");
    return;
  }
  const std::uint64_t mine = ++writes_;
  if (secret && clearSecrets_.count() > 0) {
    platform::postMainAfter(clearSecrets_, [weak = weak_from_this(), mine] {
      const auto self = weak.lock();
      if (self && self->writes_ == mine) platform::clearPasteboardIfOurs();
    });
  }
  phatTieng(true);
  showNotification("Mục tiêu đã bị khoá",
                   "Truy sát ngay nào! " + std::string(platform::pasteKeys()) + " để dán.", true);
}

void Runner::push() {
  auto read = platform::readPasteboardText();
  const auto* failure = std::get_if<platform::ReadFailure>(&read);
  // An owner that did not deliver is told as such, not as an empty clipboard.
  if (failure && *failure != platform::ReadFailure::kNoText) {
    reportFailure(readFailureText(*failure));
    return;
  }
  auto* text = std::get_if<platform::PasteboardText>(&read);
  if (!text || text->text.empty()) {
    phatTieng(false);
    showNotification("Chưa có gì để tung",
                     "Clipboard rỗng (hoặc không phải chữ) — copy một đoạn rồi bấm lại.", false);
    return;
  }
  // Only a secret changes the tool's environment.
  std::vector<std::string> env;
  if (text->secret) env.emplace_back("TAVRIK_SECRET=1");
  chay(
      kPushArgs, std::move(text->text),
      [](std::int32_t status, std::string out, std::string err, std::string) {
        if (status != 0) {
          reportFailure(dongLoi(out, err));
          return;
        }
        phatTieng(true);
        showNotification("Tavrik đã tung Sóng Âm", "Đã gửi lên kho. Máy kia bấm Ctrl+Alt+B để lấy.",
                         true);
      },
      Output::kLastLine, std::move(env));
}

void Runner::pull() {
  chay(
      kPullArgs, std::nullopt,
      [weak = weak_from_this()](std::int32_t status, std::string out, std::string err,
                                std::string meta) {
        if (status != 0) {
          reportFailure(dongLoi(out, err));
          return;
        }
        if (out.empty()) {
          phatTieng(false);
          showNotification("Chưa thấy mục tiêu nào", "Máy kia chưa gửi gì sang.", false);
          return;
        }
        platform::postMain([weak, text = std::move(out), secret = marksSecret(meta)]() mutable {
          if (const auto self = weak.lock()) self->updatePasteboard(std::move(text), secret);
        });
      },
      Output::kText, {"TAVRIK_META_FD=3"}, true);
}

}  // namespace tavrik
