#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/fake/fake.h"

namespace tavrik::test {

// A feedback program start as the fake records it: program path and argv.
struct Started {
  std::string path;
  std::vector<std::string> argv;
  bool operator==(const Started&) const = default;
};

inline const std::string kNotifier = "/test/osascript";
inline const std::string kPlayer = "/test/afplay";

inline Started notification(const std::string& title, const std::string& body) {
  return {kNotifier,
          {kNotifier, "-e", "display notification \"" + body + "\" with title \"" + title + "\""}};
}

inline Started sound(bool success) {
  return {kPlayer,
          {kPlayer,
           success ? "/System/Library/Sounds/Glass.aiff" : "/System/Library/Sounds/Basso.aiff"}};
}

inline std::vector<Started> started() {
  std::vector<Started> out;
  for (const auto& l : fake::launches()) out.push_back({l.path, l.argv});
  return out;
}

// Each test starts on a fresh fake platform whose feedback programs are
// recorded under kNotifier and kPlayer, and leaves no background work.
class FakePlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    fake::setPrograms(kNotifier, kPlayer);
  }
  void TearDown() override {
    fake::waitBackgroundIdle();
    fake::drainMain();
  }
};

}  // namespace tavrik::test
