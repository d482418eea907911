// tavrik-startup: starts tavrik-agent at every login, by a shortcut in the
// user's Startup folder. Node is recorded as found now, so that the agent
// does not depend on the PATH a login gives it.
//   tavrik-startup add [AGENT OPTIONS...]
//       --node defaults to the node.exe on PATH, --cli to the companion
//       installed beside the agent (..\share\tavrik\tavrik.js)
//   tavrik-startup remove
//   tavrik-startup show     the shortcut's command, a word per line
//   tavrik-startup stop     ends this session's running agents
#include <objbase.h>
#include <shlobj.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/stderr.h"
#include "platform/windows/programs.h"
#include "platform/windows/text.h"

namespace {

using tavrik::platform::narrow;
using tavrik::platform::systemMessage;
using tavrik::platform::widen;

int say(const std::string& line, int status) {
  tavrik::platform::writeStderr("tavrik-startup: " + line + "\n");
  return status;
}

std::wstring shortcutPath() {
  wchar_t* folder = nullptr;
  if (FAILED(::SHGetKnownFolderPath(FOLDERID_Startup, 0, nullptr, &folder))) return {};
  std::wstring path = std::wstring(folder) + L"\\tavrik-agent.lnk";
  ::CoTaskMemFree(folder);
  return path;
}

std::wstring fullPath(const std::wstring& path) {
  wchar_t full[MAX_PATH];
  const DWORD n = ::GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
  return n > 0 && n < MAX_PATH ? std::wstring(full, n) : path;
}

// A shell link object and its file view, for `use`; released after.
template <typename Use>
HRESULT withShortcut(Use use) {
  IShellLinkW* shortcut = nullptr;
  IPersistFile* file = nullptr;
  HRESULT result = ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IShellLinkW, reinterpret_cast<void**>(&shortcut));
  if (SUCCEEDED(result)) {
    result = shortcut->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
  }
  if (SUCCEEDED(result)) result = use(shortcut, file);
  if (file != nullptr) file->Release();
  if (shortcut != nullptr) shortcut->Release();
  return result;
}

bool has(const std::vector<std::string>& args, const char* option) {
  return std::find(args.begin(), args.end(), option) != args.end();
}

int add(std::vector<std::string> args, const std::wstring& link) {
  const std::wstring dir = tavrik::platform::ownDirectory();
  const std::wstring agent = dir + L"\\tavrik-agent.exe";
  if (!has(args, "--cli")) {
    const std::wstring cli = fullPath(dir + L"\\..\\share\\tavrik\\tavrik.js");
    if (::GetFileAttributesW(cli.c_str()) == INVALID_FILE_ATTRIBUTES) {
      return say("không thấy " + narrow(cli).value_or("tavrik.js") + "; cho biết bằng --cli", 1);
    }
    args.insert(args.begin(), {"--cli", narrow(cli).value_or("")});
  }
  if (!has(args, "--node")) {
    const auto node = tavrik::platform::nodeOnPath();
    if (!node) return say("không thấy node.exe trên PATH; cho biết bằng --node ĐƯỜNG\\node.exe", 1);
    args.insert(args.begin(), {"--node", narrow(*node).value_or("")});
  }
  args.insert(args.begin(), narrow(agent).value_or(""));
  // Read back by the usual rules: the agent's path, quoted, comes off.
  const std::wstring arguments = tavrik::platform::commandLine(args).substr(agent.size() + 3);

  const HRESULT result = withShortcut([&](IShellLinkW* shortcut, IPersistFile* file) {
    HRESULT r = shortcut->SetPath(agent.c_str());
    if (SUCCEEDED(r)) r = shortcut->SetArguments(arguments.c_str());
    if (SUCCEEDED(r)) r = shortcut->SetWorkingDirectory(dir.c_str());
    return SUCCEEDED(r) ? file->Save(link.c_str(), TRUE) : r;
  });
  if (FAILED(result)) {
    return say("không tạo được " + narrow(link).value_or("lối tắt") + ": " +
                   systemMessage(static_cast<std::uint32_t>(result)),
               1);
  }
  return say("tavrik-agent sẽ chạy mỗi lần đăng nhập: " + narrow(link).value_or("") + " → " +
                 narrow(L"\"" + agent + L"\" " + arguments).value_or(""),
             0);
}

int remove(const std::wstring& link) {
  if (!::DeleteFileW(link.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
    return say(
        "không xoá được " + narrow(link).value_or("") + ": " + systemMessage(::GetLastError()), 1);
  }
  return say("tavrik-agent không còn chạy khi đăng nhập (đã xoá " + narrow(link).value_or("") +
                 "); đang chạy thì vẫn chạy đến khi đăng xuất",
             0);
}

int show(const std::wstring& link) {
  wchar_t target[MAX_PATH] = L"";
  wchar_t arguments[INFOTIPSIZE] = L"";
  const HRESULT result = withShortcut([&](IShellLinkW* shortcut, IPersistFile* file) {
    HRESULT r = file->Load(link.c_str(), STGM_READ);
    if (SUCCEEDED(r)) r = shortcut->GetPath(target, MAX_PATH, nullptr, 0);
    return SUCCEEDED(r) ? shortcut->GetArguments(arguments, INFOTIPSIZE) : r;
  });
  if (FAILED(result)) return say("chưa có " + narrow(link).value_or("lối tắt"), 1);
  std::string words = narrow(target).value_or("") + "\n";
  // Split by the rules the agent's own command line is read with.
  int count = 0;
  wchar_t** argv = arguments[0] != L'\0' ? ::CommandLineToArgvW(arguments, &count) : nullptr;
  for (int i = 0; i < count; ++i) words += narrow(argv[i]).value_or("") + "\n";
  if (argv != nullptr) ::LocalFree(argv);
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), words.data(), static_cast<DWORD>(words.size()),
              &written, nullptr);
  return written == words.size() ? 0 : 1;
}

// Each agent of this desktop has a message-only window: closing it ends the
// agent's loop as logging out does. Waits ten seconds at most.
int stop() {
  std::vector<HANDLE> agents;
  for (HWND w = nullptr;
       (w = ::FindWindowExW(HWND_MESSAGE, w, L"TavrikAgent", nullptr)) != nullptr;) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(w, &pid);
    if (HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, pid)) agents.push_back(process);
    ::PostMessageW(w, WM_CLOSE, 0, 0);
  }
  if (agents.empty()) return say("không có tavrik-agent nào đang chạy", 0);
  const DWORD waited =
      ::WaitForMultipleObjects(static_cast<DWORD>(agents.size()), agents.data(), TRUE, 10000);
  for (HANDLE process : agents) ::CloseHandle(process);
  if (waited == WAIT_TIMEOUT) return say("tavrik-agent chưa dừng sau 10 giây", 1);
  return say("đã dừng tavrik-agent", 0);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  ::SetConsoleOutputCP(CP_UTF8);
  std::vector<std::string> args;
  for (int i = 2; i < argc; ++i) args.push_back(narrow(argv[i]).value_or(""));
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command != L"add" &&
      !(args.empty() && (command == L"remove" || command == L"show" || command == L"stop"))) {
    return say(
        "cách dùng: tavrik-startup add [TUỲ CHỌN CỦA tavrik-agent...] | remove | show | stop", 2);
  }
  if (command == L"stop") return stop();
  if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
    return say("không khởi động được COM", 1);
  }
  const std::wstring link = shortcutPath();
  if (link.empty()) return say("không thấy thư mục Startup của người dùng", 1);
  const int status = command == L"add"    ? add(std::move(args), link)
                     : command == L"show" ? show(link)
                                          : remove(link);
  ::CoUninitialize();
  return status;
}
