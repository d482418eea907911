#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/fake/fake.h"

namespace tavrik::test {

// What every temporary file of this process is named with.
inline std::string tempPrefix() { return "tavrik-" + std::to_string(::getpid()) + "-"; }

// A fresh file name under the temporary directory.
inline std::string tempPath(const std::string& stem) {
  static int counter = 0;
  auto p = std::filesystem::temp_directory_path() /
           (tempPrefix() + stem + "-" + std::to_string(counter++));
  std::filesystem::remove(p);
  return p.string();
}

// The tests' stand-in for tavrik.js: a shell script, run by kShell.
inline const std::string kShell = "/bin/sh";
inline std::string script(const std::string& text) {
  const auto path = tempPath("tool");
  std::ofstream(path) << text << '\n';
  return path;
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A notice or a sound as the fake records it.
struct Started {
  bool sound;
  platform::Notice notice;
  bool operator==(const Started&) const = default;
};

inline Started notification(const std::string& title, const std::string& body,
                            bool success = false) {
  return {false, {title, body, success}};
}

inline Started sound(bool success) { return {true, {"", "", success}}; }

inline std::vector<Started> started() {
  std::vector<Started> out;
  for (const auto& t : fake::told()) out.push_back({t.sound, t.notice});
  return out;
}

// Each test starts on a fresh fake platform, and leaves no background work.
class FakePlatformTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::reset(); }
  void TearDown() override {
    fake::waitBackgroundIdle();
    fake::drainMain();
  }
};

}  // namespace tavrik::test
