#include "app/agent.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <string>

#include "app/settings.h"
#include "feedback/feedback.h"
#include "hotkeys/hotkey_spec.h"
#include "hotkeys/registration.h"
#include "platform/app.h"
#include "platform/process.h"
#include "platform/stderr.h"

namespace tavrik {

std::shared_ptr<Runner> runner;

namespace {

std::string_view statusWord(bool ok) { return ok ? "OK" : "HỎNG"; }

constexpr std::string_view kHelp =
    "tavrik-agent: gửi chữ trong clipboard sang máy kia bằng hai phím tắt, cùng tavrik.\n"
    "\n"
    "Cách dùng:\n"
    "  tavrik-agent --cli TAVRIK.JS [--node NODE] [--copy PHÍM] [--paste PHÍM]\n"
    "               [--timeout GIÂY] [--clear-secrets GIÂY]\n"
    "  tavrik-agent --trigger push|pull|status\n"
    "  tavrik-agent --help | --version\n"
    "\n"
    "  --cli            tavrik.js (tavrik setup ghi sẵn dòng lệnh này)\n"
    "  --node           chương trình chạy tavrik.js (mặc định /usr/bin/env)\n"
    "  --copy, --paste  phím gửi đi và lấy về (mặc định ctrl+alt+c, ctrl+alt+b)\n"
    "  --timeout        số giây tối đa cho một lần chạy tavrik (mặc định 120)\n"
    "  --clear-secrets  số giây chữ bí mật ở lại clipboard (mặc định 45; 0 là mãi)\n"
    "  --trigger        bấm hộ một phím cho tavrik-agent đang chạy, hoặc xem trạng thái\n"
    "\n"
    "Chi tiết: man tavrik-agent\n";

}  // namespace

std::int32_t onHotKeyPressed(platform::HotKeyEvent* event) {
  platform::EventHotKeyID hotKeyID{0, 0};
  // A failed read leaves id 0, which does nothing; the signature is not
  // compared.
  (void)platform::getHotKeyID(event, &hotKeyID);
  // A press that fails inside (out of memory, say) is told; the agent goes on.
  try {
    if (hotKeyID.id == kCopyHotKeyId) runner->push();
    if (hotKeyID.id == kPasteHotKeyId) runner->pull();
  } catch (const std::exception& e) {
    platform::writeStderr(std::string("tavrik: lỗi bên trong: ") + e.what() + "\n");
  }
  return 0;
}

int agentMain(std::span<const std::string> arguments) {
  // As command-line tools answer these, before anything else is read.
  const auto asked = [&](std::string_view option) {
    return std::find(arguments.begin() + 1, arguments.end(), option) != arguments.end();
  };
  if (asked("--help") || asked("-h")) {
    platform::writeStdout(kHelp);
    return 0;
  }
  if (asked("--version")) {
    platform::writeStdout("tavrik-agent " TAVRIK_VERSION "\n");
    return 0;
  }
  // The key-name table is a compile-time constant: nothing to build here.
  const Settings settings = readCommandLine(arguments);
  if (settings.cliPath.empty()) {
    platform::writeStderr("Thiếu --cli <đường dẫn tavrik.js>\n");
    return 2;
  }

  // The paste text is not parsed when the copy text is unreadable.
  const auto copyHotkey = parseHotkey(settings.copySpec);
  const auto pasteHotkey = copyHotkey ? parseHotkey(settings.pasteSpec) : std::nullopt;
  if (!copyHotkey || !pasteHotkey) {
    platform::writeStderr("Phím tắt không đọc được: " + settings.copySpec + " / " +
                          settings.pasteSpec + "\n");
    return 2;
  }

  const auto timeout = parseTimeout(settings.timeout);
  if (!timeout) {
    platform::writeStderr("Thời hạn --timeout không đọc được: " + settings.timeout +
                          " (cần một số giây nguyên dương)\n");
    return 2;
  }

  const auto clearSecrets = parseClearSecrets(settings.clearSecrets);
  if (!clearSecrets) {
    platform::writeStderr("Thời hạn --clear-secrets không đọc được: " + settings.clearSecrets +
                          " (cần một số giây nguyên, 0 là không bao giờ xoá)\n");
    return 2;
  }

  // A companion named wrongly would fail only at the first press. A bare
  // name may be one that /usr/bin/env finds in PATH: not checked.
  if (settings.cliPath.find_first_of("/\\") != std::string::npos) {
    if (const auto why = platform::unreadable(settings.cliPath)) {
      platform::writeStderr("tavrik: không đọc được --cli " + settings.cliPath + ": " +
                            why->description + "\n");
      showNotification("Tavrik chưa thấy tavrik.js",
                       "Không đọc được " + settings.cliPath + ". Chạy lại: tavrik setup KHO",
                       false);
    }
  }

  runner = std::make_shared<Runner>(settings.nodePath, settings.cliPath, *timeout, *clearSecrets);
  // Without its queues the agent could take presses it never serves: a
  // supervisor had better start it again.
  if (!platform::makeApplication()) return 1;
  platform::installHotKeyHandler(&onHotKeyPressed);
  signature = fourCharCode("TVRK");
  const platform::HotKeyRequest requests[] = {
      {copyHotkey->keyCode, copyHotkey->modifiers, {signature, kCopyHotKeyId}},
      {pasteHotkey->keyCode, pasteHotkey->modifiers, {signature, kPasteHotKeyId}}};
  // Where the desktop asks the user first, the status comes with the answer.
  platform::announceHotKeys(
      requests, [copy = *copyHotkey, paste = *pasteHotkey, copySpec = settings.copySpec,
                 pasteSpec = settings.pasteSpec] {
        const bool okCopy = dangKy(copy, kCopyHotKeyId, "gửi đi (" + copySpec + ")");
        const bool okPaste = dangKy(paste, kPasteHotKeyId, "lấy về (" + pasteSpec + ")");
        std::string status = "tavrik: " + copySpec + " = gửi đi (";
        status += statusWord(okCopy);
        status += "), " + pasteSpec + " = lấy về (";
        status += statusWord(okPaste);
        status += ")\n";
        platform::writeStderr(status);
        platform::keepForStatus(status);
        adviseTriggers();
      });

  return platform::runEventLoop();
}

}  // namespace tavrik
