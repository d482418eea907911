#include "platform/windows/text.h"

#include <windows.h>

namespace tavrik::platform {

std::wstring widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int n =
      ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::optional<std::string> narrow(std::wstring_view utf16) {
  if (utf16.empty()) return std::string();
  const int n = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, utf16.data(),
                                      static_cast<int>(utf16.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::nullopt;
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, utf16.data(), static_cast<int>(utf16.size()),
                        out.data(), n, nullptr, nullptr);
  return out;
}

std::string systemMessage(std::uint32_t error) {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message(text != nullptr ? text : L"", n);
  if (text != nullptr) ::LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                              message.back() == L' ' || message.back() == L'.')) {
    message.pop_back();
  }
  if (message.empty()) return "lỗi " + std::to_string(error);
  return narrow(message).value_or("lỗi " + std::to_string(error));
}

std::wstring commandLine(const std::vector<std::string>& argv) {
  std::wstring line;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    if (i > 0) line.push_back(L' ');
    const std::wstring arg = widen(argv[i]);
    // The program's name is read up to the next quote, with no escapes.
    if (i == 0) {
      line.append(L"\"").append(arg).append(L"\"");
      continue;
    }
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
      line.append(arg);
      continue;
    }
    // Backslashes are literal unless they precede a quote: then each is
    // doubled, and the quote escaped.
    line.push_back(L'"');
    std::size_t slashes = 0;
    for (const wchar_t c : arg) {
      if (c == L'\\') {
        ++slashes;
        continue;
      }
      if (c == L'"') {
        line.append(2 * slashes + 1, L'\\');
      } else {
        line.append(slashes, L'\\');
      }
      slashes = 0;
      line.push_back(c);
    }
    line.append(2 * slashes, L'\\');
    line.push_back(L'"');
  }
  return line;
}

}  // namespace tavrik::platform
