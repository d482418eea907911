// The Windows clipboard, plain text only (CF_UNICODETEXT), converted
// exactly between UTF-16 and UTF-8; line endings are left as they are.
#include <windows.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <thread>
#include <variant>

#include "platform/pasteboard.h"
#include "platform/windows/text.h"
#include "platform/windows/window.h"

namespace tavrik::platform {
namespace {

// GetClipboardData has no time limit: an owner that renders late holds the
// reader. It runs on a thread of its own, and is given up on after this.
constexpr auto kNoAnswer = std::chrono::seconds(1);
// Another program may hold the clipboard open for a moment.
constexpr int kOpenTries = 25;
constexpr DWORD kOpenPause = 20;

// Windows' mark for what clipboard history and monitors must skip.
UINT secretFormat() {
  static const UINT format =
      ::RegisterClipboardFormatW(L"ExcludeClipboardContentFromMonitorProcessing");
  return format;
}
// Set to 0, they keep a secret out of clipboard history and the cloud.
UINT historyFormat() {
  static const UINT format = ::RegisterClipboardFormatW(L"CanIncludeInClipboardHistory");
  return format;
}
UINT cloudFormat() {
  static const UINT format = ::RegisterClipboardFormatW(L"CanUploadToCloudClipboard");
  return format;
}

DWORD ourChange = 0;  // the sequence number just after our last write; main thread

bool openClipboard(HWND owner) {
  for (int i = 0; i < kOpenTries; ++i) {
    if (::OpenClipboard(owner)) return true;
    ::Sleep(kOpenPause);
  }
  return false;
}

struct Read {
  std::variant<PasteboardText, ReadFailure> result = ReadFailure::kNoText;
};

Read readNow() {
  Read r;
  if (!openClipboard(nullptr)) {
    r.result = ReadFailure::kNoAnswer;
    return r;
  }
  const bool secret = ::IsClipboardFormatAvailable(secretFormat()) != 0;
  if (HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
    const SIZE_T bytes = ::GlobalSize(data);
    if (const auto* text = static_cast<const wchar_t*>(::GlobalLock(data))) {
      // Up to its terminator, within what was allocated.
      std::size_t length = 0;
      while (length < bytes / sizeof(wchar_t) && text[length] != L'\0') ++length;
      if (length > kMaxText) {
        r.result = ReadFailure::kTooLarge;
      } else if (auto utf8 = narrow(std::wstring_view(text, length))) {
        if (utf8->size() > kMaxText) {
          r.result = ReadFailure::kTooLarge;
        } else {
          r.result = PasteboardText{std::move(*utf8), secret};
        }
      }  // invalid UTF-16: no text
      ::GlobalUnlock(data);
    }
  }
  ::CloseClipboard();
  return r;
}

HGLOBAL globalCopy(const void* bytes, std::size_t size) {
  HGLOBAL g = ::GlobalAlloc(GMEM_MOVEABLE, size);
  if (g == nullptr) return nullptr;
  if (void* p = ::GlobalLock(g)) {
    if (size > 0) std::memcpy(p, bytes, size);
    ::GlobalUnlock(g);
  }
  return g;
}

}  // namespace

std::variant<PasteboardText, ReadFailure> readPasteboardText() {
  // The reading thread may outlive this call; it then finishes on its own.
  auto task = std::make_shared<std::packaged_task<Read()>>(readNow);
  auto answer = task->get_future();
  try {
    std::thread([task] { (*task)(); }).detach();
  } catch (const std::system_error&) {
    return ReadFailure::kNoAnswer;
  }
  if (answer.wait_for(kNoAnswer) != std::future_status::ready) return ReadFailure::kNoAnswer;
  return answer.get().result;
}

bool writePasteboardText(std::string text, bool secret) {
  std::wstring wide = widen(text);
  HGLOBAL data = globalCopy(wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
  if (data == nullptr || !openClipboard(agentWindow())) {
    if (data != nullptr) ::GlobalFree(data);
    return false;
  }
  bool ok = ::EmptyClipboard() && ::SetClipboardData(CF_UNICODETEXT, data) != nullptr;
  if (!ok) ::GlobalFree(data);
  if (ok && secret) {
    const DWORD no = 0;
    for (const UINT format : {secretFormat(), historyFormat(), cloudFormat()}) {
      HGLOBAL zero = globalCopy(&no, sizeof no);
      if (zero == nullptr || ::SetClipboardData(format, zero) == nullptr) {
        if (zero != nullptr) ::GlobalFree(zero);
        ok = false;
      }
    }
    if (!ok) ::EmptyClipboard();  // never a secret without its marks
  }
  ::CloseClipboard();
  if (ok) ourChange = ::GetClipboardSequenceNumber();
  return ok;
}

void clearPasteboardIfOurs() {
  // Any write since, by anyone, moved the sequence number on.
  if (::GetClipboardSequenceNumber() != ourChange || !openClipboard(agentWindow())) return;
  if (::GetClipboardSequenceNumber() == ourChange) ::EmptyClipboard();
  ::CloseClipboard();
}

// The clipboard is always there.
std::string whyClipboardUnreachable() { return {}; }

std::string_view pasteKeys() { return "Ctrl+V"; }

}  // namespace tavrik::platform
