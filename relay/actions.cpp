// Push and pull: the two actions behind the hotkeys.
#include <string>
#include <utility>

#include "feedback/feedback.h"
#include "platform/pasteboard.h"
#include "platform/queues.h"
#include "relay/companion.h"
#include "relay/runner.h"

namespace tavrik {
namespace {

constexpr std::string_view kStumbled = "Tavrik trượt chân";

void reportToolFailure(std::string_view line) {
  phatTieng(false);
  showNotification(kStumbled, line);
}

// Main thread. The write is checked: a clipboard we could not take is a
// failure, not a success.
void updatePasteboard(const std::string& text) {
  if (!platform::writePasteboardText(text)) {
    phatTieng(false);
    showNotification(kStumbled, "Không ghi được vào clipboard.");
    return;
  }
  phatTieng(true);
  showNotification("Mục tiêu đã bị khoá", "Truy sát ngay nào! Cmd+V để dán.");
}

}  // namespace

void Runner::push() {
  auto text = platform::readPasteboardText();
  if (!text || text->empty()) {
    phatTieng(false);
    showNotification("Chưa có gì để tung",
                     "Clipboard rỗng (hoặc không phải chữ) — copy một đoạn rồi bấm lại.");
    return;
  }
  chay(kPushArgs, std::move(text), [](std::int32_t status, std::string out, std::string err) {
    if (status != 0) {
      reportToolFailure(dongLoi(out, err));
      return;
    }
    phatTieng(true);
    showNotification("Tavrik đã tung Sóng Âm", "Đã gửi lên kho. Máy kia bấm Ctrl+Alt+B để lấy.");
  });
}

void Runner::pull() {
  chay(kPullArgs, std::nullopt, [](std::int32_t status, std::string out, std::string err) {
    if (status != 0) {
      reportToolFailure(dongLoi(out, err));
      return;
    }
    if (out.empty()) {
      phatTieng(false);
      showNotification("Chưa thấy mục tiêu nào", "Máy kia chưa gửi gì sang.");
      return;
    }
    platform::postMain([text = std::move(out)] { updatePasteboard(text); });
  });
}

}  // namespace tavrik
