#pragma once

// The one way in to the Runner's private parts, for the tests, the fuzzers
// and the benchmarks alike.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "relay/runner.h"

namespace tavrik {

struct RunnerTestAccess {
  using Xong = std::function<void(std::int32_t, std::string, std::string)>;
  static void chay(Runner& r, std::vector<std::string> args, std::optional<std::string> in,
                   Xong xong) {
    r.chay(std::move(args), std::move(in),
           [xong = std::move(xong)](std::int32_t s, std::string o, std::string e, std::string) {
             xong(s, std::move(o), std::move(e));
           });
  }
  static std::string dongLoi(std::string_view out, std::string_view err) {
    return Runner::dongLoi(out, err);
  }
};

}  // namespace tavrik
