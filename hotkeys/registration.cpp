#include "hotkeys/registration.h"

#include <string>

#include "feedback/feedback.h"
#include "platform/hotkeys.h"
#include "platform/stderr.h"

namespace tavrik {

std::uint32_t signature = 0;

namespace {
// Set when a hotkey failed because this desktop cannot claim keys at all.
bool unavailable = false;
}  // namespace

bool dangKy(HotkeySpec hotkey, std::uint32_t id, std::string_view ten) {
  const std::int32_t status =
      platform::registerHotKey(hotkey.keyCode, hotkey.modifiers, {signature, id});
  if (status == 0) return true;

  std::string line = "RegisterEventHotKey lỗi: ";
  line += ten;
  line += '=';
  line += std::to_string(status);
  line += '\n';
  // Nobody holds a key that nothing could claim: adviseTriggers says what to do instead.
  if (platform::hotKeysUnavailable(status)) {
    unavailable = true;
    platform::writeStderr(line);
    return false;
  }

  std::string body = "Ứng dụng khác đang giữ ";
  body += ten;
  body += ". Đổi bằng: tavrik hotkeys set";
  showNotification("Phím này có người giữ mất rồi", body, false);
  platform::writeStderr(line);
  return false;
}

void adviseTriggers() {
  if (!unavailable || platform::triggerUsedBefore()) return;
  const std::string program = platform::triggerProgram();
  showNotification(
      "Tavrik chưa có phím tắt",
      program.empty() ? "Ở đây không giữ được phím tắt nào, và lệnh --trigger cũng không dùng được."
                      : "Gán hai lệnh này trong cài đặt phím tắt: " + program +
                            " --trigger push (gửi đi), " + program + " --trigger pull (lấy về).",
      false);
}

}  // namespace tavrik
