#pragma once

// The one way in to the Runner's private parts, for the tests, the fuzzers
// and the benchmarks alike.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "relay/runner.h"

namespace tavrik {

struct RunnerTestAccess {
  static void chay(Runner& r, std::vector<std::string> args, std::optional<std::string> in,
                   Runner::Xong xong) {
    r.chay(std::move(args), std::move(in), std::move(xong));
  }
  static std::string dongLoi(std::string_view out, std::string_view err) {
    return Runner::dongLoi(out, err);
  }
};

}  // namespace tavrik
