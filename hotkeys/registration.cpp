#include "hotkeys/registration.h"

#include <string>

#include "feedback/feedback.h"
#include "platform/hotkeys.h"
#include "platform/stderr.h"

namespace tavrik {

std::uint32_t signature = 0;

bool dangKy(HotkeySpec hotkey, std::uint32_t id, std::string_view ten) {
  const std::int32_t status =
      platform::registerHotKey(hotkey.keyCode, hotkey.modifiers, {signature, id});
  if (status == 0) return true;

  std::string body = "Ứng dụng khác đang giữ ";
  body += ten;
  body += ". Đổi bằng: tavrik hotkeys set";
  showNotification("Phím này có người giữ mất rồi", body);

  std::string line = "RegisterEventHotKey lỗi: ";
  line += ten;
  line += '=';
  line += std::to_string(status);
  line += '\n';
  platform::writeStderr(line);
  return false;
}

}  // namespace tavrik
