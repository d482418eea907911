// A companion stand-in for the Windows tests, built with MinGW: Wine runs
// no Linux program as a real process. Writes exact bytes (binary mode).
//   tool cat          standard input to standard output
//   tool exit N       prints "partial", exits N
//   tool args ...     each argument in UTF-8, each followed by a NUL byte
//   tool env NAME     the variable's value, or "(unset)"
//   tool meta TEXT    TEXT on descriptor 3, if it has one, then "done"
//   tool flood N      N bytes to both outputs, never reading its input
//   tool leave        starts "tool sleep" holding both outputs, prints "left", exits 0
//   tool sleep        never ends
//   tool store clip push|pull ...   the companion for the agent's tests: a
//                     push appends to %TAVRIK_TEST_DIR%\\runs and leaves its
//                     input in pushed; a pull prints pull-output
//   tool press VK MOD...   presses key VK (decimal) with the named modifiers
//   tool paste        the clipboard's CF_UNICODETEXT in UTF-8
//   tool tray LOG     the notification area, as Wine's shell32 reaches it: a
//                     Shell_TrayWnd window that appends each balloon to LOG
//                     as a record (notify, title, body, urgency; fields end
//                     in 0x1f, records in 0x1e); says "ready" once it is there
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/harness/wine_tray.h"

using namespace tavrik;

namespace {

void put(int fd, const std::string& s) {
  for (std::size_t at = 0; at < s.size();) {
    const int n = _write(fd, s.data() + at, static_cast<unsigned>(s.size() - at));
    if (n <= 0) return;
    at += static_cast<std::size_t>(n);
  }
}

std::string utf8(const wchar_t* w) {
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, w, -1, out.data(), n, nullptr, nullptr);
  out.pop_back();  // the terminator
  return out;
}

std::wstring testFile(const wchar_t* name) {
  const wchar_t* dir = _wgetenv(L"TAVRIK_TEST_DIR");
  return std::wstring(dir ? dir : L".") + L"\\" + name;
}

// Appended with one write, as two programs may record at once.
void append(const std::wstring& path, const std::string& text) {
  HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD n = 0;
  ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
  ::CloseHandle(file);
}

std::string slurp(int fd) {
  std::string all;
  char buf[65536];
  for (int n; (n = _read(fd, buf, sizeof buf)) > 0;) all.append(buf, static_cast<std::size_t>(n));
  return all;
}

int store(const std::wstring& action) {
  append(testFile(L"runs"), utf8(action.c_str()) + "\n");
  if (action == L"push") {
    const std::string text = slurp(0);
    FILE* out = _wfopen(testFile(L"pushed.tmp").c_str(), L"wb");
    if (out == nullptr) return 3;
    std::fwrite(text.data(), 1, text.size(), out);
    std::fclose(out);
    ::MoveFileExW(testFile(L"pushed.tmp").c_str(), testFile(L"pushed").c_str(),
                  MOVEFILE_REPLACE_EXISTING);
  } else if (FILE* in = _wfopen(testFile(L"pull-output").c_str(), L"rb")) {
    const std::string text = slurp(_fileno(in));
    std::fclose(in);
    put(1, text);
  }
  return 0;
}

int press(int argc, wchar_t** argv) {
  std::vector<WORD> keys;
  for (int i = 3; i < argc; ++i) {
    const std::wstring name = argv[i];
    keys.push_back(name == L"ctrl"    ? VK_CONTROL
                   : name == L"alt"   ? VK_MENU
                   : name == L"shift" ? VK_SHIFT
                                      : VK_LWIN);
  }
  keys.push_back(static_cast<WORD>(_wtoi(argv[2])));
  std::vector<INPUT> inputs;
  for (WORD key : keys) inputs.push_back({INPUT_KEYBOARD, {.ki = {key, 0, 0, 0, 0}}});
  for (auto key = keys.rbegin(); key != keys.rend(); ++key) {
    inputs.push_back({INPUT_KEYBOARD, {.ki = {*key, 0, KEYEVENTF_KEYUP, 0, 0}}});
  }
  const UINT sent = ::SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
  return sent == inputs.size() ? 0 : 1;
}

int paste() {
  if (!::OpenClipboard(nullptr)) return 1;
  HANDLE data = ::GetClipboardData(CF_UNICODETEXT);
  const auto* text = data ? static_cast<const wchar_t*>(::GlobalLock(data)) : nullptr;
  if (text != nullptr) put(1, utf8(text));
  if (text != nullptr) ::GlobalUnlock(data);
  ::CloseClipboard();
  return text != nullptr ? 0 : 1;
}

const wchar_t* trayLog;
LRESULT CALLBACK onTray(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_COPYDATA) return ::DefWindowProcW(w, message, wParam, lParam);
  if (const auto b = test::balloonIn(lParam)) {
    append(trayLog, "notify\x1f" + utf8(b->title.c_str()) + '\x1f' + utf8(b->body.c_str()) +
                        '\x1f' + (b->error ? "critical" : "normal") + "\x1f\x1e");
  }
  return TRUE;
}

int tray(const wchar_t* log) {
  trayLog = log;
  if (test::makeTray(onTray) == nullptr) return 1;
  put(1, "ready\n");
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  for (int fd = 0; fd <= 2; ++fd) _setmode(fd, _O_BINARY);
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  if (mode == L"tray" && argc > 2) return tray(argv[2]);
  if (mode == L"store" && argc > 3) return store(argv[3]);
  if (mode == L"press" && argc > 2) return press(argc, argv);
  if (mode == L"paste") return paste();
  if (mode == L"cat") {
    put(1, slurp(0));
  } else if (mode == L"exit" && argc > 2) {
    put(1, "partial");
    return _wtoi(argv[2]);
  } else if (mode == L"args") {
    for (int i = 2; i < argc; ++i) put(1, utf8(argv[i]) + '\0');
  } else if (mode == L"meta" && argc > 2) {
    put(3, utf8(argv[2]));
    put(1, "done");
  } else if (mode == L"env" && argc > 2) {
    const wchar_t* value = _wgetenv(argv[2]);
    put(1, value ? utf8(value) : "(unset)");
  } else if (mode == L"flood" && argc > 2) {
    const std::string chunk(1 << 16, 'x');
    for (long left = _wtol(argv[2]); left > 0; left -= static_cast<long>(chunk.size())) {
      const std::string part =
          chunk.substr(0, static_cast<std::size_t>(std::min<long>(left, 1 << 16)));
      put(1, part);
      put(2, part);
    }
  } else if (mode == L"leave") {
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\" sleep";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(self, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                          &started)) {
      return 3;
    }
    put(1, "left");
  } else if (mode == L"sleep") {
    ::Sleep(INFINITE);
  } else {
    return 2;
  }
  return 0;
}
