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
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

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

}  // namespace

int wmain(int argc, wchar_t** argv) {
  for (int fd = 0; fd <= 2; ++fd) _setmode(fd, _O_BINARY);
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  if (mode == L"cat") {
    char buf[65536];
    for (int n; (n = _read(0, buf, sizeof buf)) > 0;)
      put(1, std::string(buf, static_cast<std::size_t>(n)));
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
