// The strict UTF-8 check against utf8proc's decoder.
#include <utf8proc.h>

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "relay/utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  bool valid = true;
  auto left = static_cast<utf8proc_ssize_t>(size);
  for (const std::uint8_t* p = data; left > 0 && valid;) {
    utf8proc_int32_t c;
    const auto n = utf8proc_iterate(p, left, &c);
    valid = n > 0;
    if (valid) {
      p += n;
      left -= n;
    }
  }
  if (tavrik::isValidUtf8(std::string_view(reinterpret_cast<const char*>(data), size)) != valid) {
    std::abort();
  }
  return 0;
}
