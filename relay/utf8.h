#pragma once

#include <cstddef>
#include <string_view>

namespace tavrik {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view bytes);

// The length of `bytes` less a character cut short at the end (a lead byte
// followed by fewer bytes than it announces): how far a text that is still
// arriving can be checked.
std::size_t wholeCharacters(std::string_view bytes);

}  // namespace tavrik
