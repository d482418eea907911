#pragma once

#include <string>
#include <string_view>

namespace tavrik::x11 {

// STRING targets are ISO Latin-1.
std::string latin1ToUtf8(std::string_view latin1);

// Characters past U+00FF become '?'; `utf8` is valid UTF-8.
std::string utf8ToLatin1(std::string_view utf8);

}  // namespace tavrik::x11
