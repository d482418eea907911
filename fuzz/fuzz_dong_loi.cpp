// The error line: the input is standard output, a NUL, standard error.
// Checked against a reading of the rule that scans from the end.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "relay/runner.h"
#include "tests/harness/runner_access.h"

namespace {

bool cutsAt(std::string_view t, std::size_t i) {
  return t[i] == '\n' && (i == 0 || t[i - 1] != '\r');
}

std::string lastLine(std::string_view t) {
  std::size_t end = t.size();
  while (end > 0 && cutsAt(t, end - 1)) --end;  // trailing cuts
  if (end == 0) return "Không rõ lỗi.";
  std::size_t begin = end;
  while (begin > 0 && !cutsAt(t, begin - 1)) --begin;
  return std::string(t.substr(begin, end - begin));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  const auto nul = all.find('\0');
  const std::string_view out = all.substr(0, nul);
  const std::string_view err = nul == std::string_view::npos ? "" : all.substr(nul + 1);
  const std::string line = tavrik::RunnerTestAccess::dongLoi(out, err);
  if (line != lastLine(err.empty() ? out : err)) std::abort();
  return 0;
}
