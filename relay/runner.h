#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

// Runs the companion tool, one run at a time, off the main thread.
// Made once, held by a shared_ptr: background work refers to it weakly.
class Runner : public std::enable_shared_from_this<Runner> {
 public:
  // Exit status, standard output text, standard error text.
  using Xong = std::function<void(std::int32_t, std::string, std::string)>;

  Runner(std::string nodePath, std::string cliPath);

  const std::string& nodePath() const { return nodePath_; }
  const std::string& cliPath() const { return cliPath_; }

  // Main thread only; both return at once.
  void push();
  void pull();

 private:
  friend struct RunnerTestAccess;

  void chay(std::vector<std::string> args, std::optional<std::string> stdinText, Xong xong);
  static std::string dongLoi(std::string_view out, std::string_view err);

  const std::string nodePath_;
  const std::string cliPath_;
  bool busy_ = false;  // touched only on the main thread
};

}  // namespace tavrik
