#include "relay/utf8.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tavrik {

namespace {

// A table-driven automaton, one row per byte: each state is a bit offset
// in the row, and the six bits there are the next state. One shift per
// byte, with no branch on the text, and the error state keeps itself (it is
// 0, and every row holds 0 at offset 0).
enum State : std::uint64_t {
  kError = 0,
  kAccept = 6,
  kTail1 = 12,  // one continuation byte to go
  kTail2 = 18,
  kTail3 = 24,
  kAfterE0 = 30,  // 0xA0..0xBF next: no overlong three-byte form
  kAfterED = 36,  // 0x80..0x9F next: no surrogate
  kAfterF0 = 42,  // 0x90..0xBF next: no overlong four-byte form
  kAfterF4 = 48,  // 0x80..0x8F next: nothing past U+10FFFF
};

constexpr std::uint64_t go(State from, State to) { return std::uint64_t{to} << from; }

constexpr std::array<std::uint64_t, 256> makeRows() {
  std::array<std::uint64_t, 256> rows{};
  for (unsigned b = 0; b < 256; ++b) {
    std::uint64_t row = 0;
    if (b < 0x80) row |= go(kAccept, kAccept);
    if (b >= 0xC2 && b <= 0xDF) row |= go(kAccept, kTail1);
    if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) row |= go(kAccept, kTail2);
    if (b == 0xE0) row |= go(kAccept, kAfterE0);
    if (b == 0xED) row |= go(kAccept, kAfterED);
    if (b >= 0xF1 && b <= 0xF3) row |= go(kAccept, kTail3);
    if (b == 0xF0) row |= go(kAccept, kAfterF0);
    if (b == 0xF4) row |= go(kAccept, kAfterF4);
    if (b >= 0x80 && b <= 0xBF) {
      row |= go(kTail1, kAccept) | go(kTail2, kTail1) | go(kTail3, kTail2);
      if (b >= 0xA0) row |= go(kAfterE0, kTail1);
      if (b < 0xA0) row |= go(kAfterED, kTail1);
      if (b >= 0x90) row |= go(kAfterF0, kTail2);
      if (b < 0x90) row |= go(kAfterF4, kTail2);
    }
    rows[b] = row;
  }
  return rows;
}

constexpr auto kRows = makeRows();

using Byte = unsigned char;

std::uint64_t step(std::uint64_t state, Byte b) { return kRows[b] >> (state & 63); }
bool in(std::uint64_t state, State s) { return (state & 63) == s; }

bool ascii16(const Byte* p) {
  std::uint64_t words[2];
  std::memcpy(words, p, sizeof words);
  return ((words[0] | words[1]) & 0x8080808080808080ULL) == 0;
}

// Runs the automaton from `state` over [p, end); runs of ASCII are skipped
// sixteen bytes at a time.
std::uint64_t run(const Byte* p, const Byte* end, std::uint64_t state) {
  while (p != end) {
    if (in(state, kAccept)) {
      while (end - p >= 16 && ascii16(p)) p += 16;
    }
    // A stretch without a test per byte: an error stays an error.
    const auto* const stop = p + std::min<std::ptrdiff_t>(end - p, 64);
    for (; p != stop; ++p) state = step(state, *p);
    if (in(state, kError)) return kError;
  }
  return state;
}

}  // namespace

// Strict UTF-8. A long text is checked as two halves cut at a character's
// start, side by side: each byte's step waits on the one before it, so two
// chains run in the time of one.
bool isValidUtf8(std::string_view bytes) {
  const auto* const begin = reinterpret_cast<const Byte*>(bytes.data());
  const auto* const end = begin + bytes.size();
  if (bytes.size() < 1024) return in(run(begin, end, kAccept), kAccept);
  const auto* mid = begin + bytes.size() / 2;
  for (int i = 0; i < 3 && (*mid & 0xC0) == 0x80; ++i) ++mid;
  const auto n = static_cast<std::size_t>(std::min(mid - begin, end - mid)) & ~std::size_t{15};
  std::uint64_t a = kAccept, b = kAccept;
  for (std::size_t i = 0; i < n; i += 16) {
    if (in(a, kAccept) && in(b, kAccept) && ascii16(begin + i) && ascii16(mid + i)) continue;
    for (std::size_t j = i; j < i + 16; ++j) {
      a = step(a, begin[j]);
      b = step(b, mid[j]);
    }
    if (in(a, kError) || in(b, kError)) return false;
  }
  return in(run(begin + n, mid, a), kAccept) && in(run(mid + n, end, b), kAccept);
}

std::size_t wholeCharacters(std::string_view bytes) {
  const std::size_t size = bytes.size();
  for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
    const auto c = static_cast<unsigned char>(bytes[size - back]);
    if ((c & 0xC0) == 0x80) continue;
    const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    return length > back ? size - back : size;
  }
  return size;
}

}  // namespace tavrik
