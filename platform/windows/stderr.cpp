#include "platform/stderr.h"

#include <windows.h>

namespace tavrik::platform {

void writeStderr(std::string_view message) {
  const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  if (err == nullptr || err == INVALID_HANDLE_VALUE) return;
  // One write request; only a short write loops.
  while (!message.empty()) {
    DWORD n = 0;
    if (!::WriteFile(err, message.data(), static_cast<DWORD>(message.size()), &n, nullptr)) return;
    message.remove_prefix(n);
  }
}

}  // namespace tavrik::platform
