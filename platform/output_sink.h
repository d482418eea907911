#pragma once

#include <cstddef>
#include <string>

// What the process runners of every platform keep of a tool's output.
namespace tavrik::platform {

// One output stream as we keep it.
struct Sink {
  std::string bytes;
  std::size_t limit;
  bool tail;  // keep the last `limit` bytes; otherwise more is an overflow
  bool cut = false;

  bool overflow() const { return !tail && bytes.size() > limit; }
  void add(const char* data, std::size_t n) {
    bytes.append(data, n);
    // Trimmed in batches, so the copying stays linear in what is read.
    if (tail && bytes.size() > 2 * limit) trimTo(limit);
  }
  void finish() {
    if (tail && bytes.size() > limit) trimTo(limit);
    if (!cut) return;
    // Start at a character: drop the rest of a sequence the cut went into.
    std::size_t i = 0;
    while (i < bytes.size() && i < 3 && (static_cast<unsigned char>(bytes[i]) & 0xC0) == 0x80) ++i;
    bytes.erase(0, i);
  }

 private:
  void trimTo(std::size_t n) {
    bytes.erase(0, bytes.size() - n);
    cut = true;
  }
};

}  // namespace tavrik::platform
