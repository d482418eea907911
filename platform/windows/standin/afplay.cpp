// Stands in for afplay on Windows: the two sounds the agent names are the
// system's asterisk (success) and critical stop (failure); any other file
// plays as given. Exits non-zero, quietly, where nothing can play.
#include <windows.h>
// After windows.h, which it needs.
#include <mmsystem.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  const std::wstring path = argv[1];
  if (path == L"/System/Library/Sounds/Glass.aiff") {
    return ::PlaySoundW(reinterpret_cast<LPCWSTR>(SND_ALIAS_SYSTEMASTERISK), nullptr,
                        SND_ALIAS_ID | SND_SYNC)
               ? 0
               : 1;
  }
  if (path == L"/System/Library/Sounds/Basso.aiff") {
    return ::PlaySoundW(reinterpret_cast<LPCWSTR>(SND_ALIAS_SYSTEMHAND), nullptr,
                        SND_ALIAS_ID | SND_SYNC)
               ? 0
               : 1;
  }
  return ::PlaySoundW(path.c_str(), nullptr, SND_FILENAME | SND_SYNC | SND_NODEFAULT) ? 0 : 1;
}
