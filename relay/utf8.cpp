#include "relay/utf8.h"

#include <cstdint>
#include <cstring>

namespace tavrik {

bool isValidUtf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = p + bytes.size();
  while (p != end) {
    // Clipboard text is mostly ASCII: skip it eight bytes at a time.
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if ((word & 0x8080808080808080ULL) != 0) break;
      p += 8;
    }
    if (p == end) break;
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    // Lead byte: the length and the allowed range of the second byte
    // (which rules out overlongs, surrogates and values past U+10FFFF).
    int len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (end - p < len) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (int i = 2; i < len; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
    }
    p += len;
  }
  return true;
}

}  // namespace tavrik
