#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

inline constexpr std::chrono::seconds kDefaultTimeout{120};
// How long a pulled secret stays on the clipboard we own; 0: always.
inline constexpr std::chrono::seconds kDefaultClearSecrets{45};

// Runs the companion tool, one run at a time, off the main thread.
// Made once, held by a shared_ptr: background work refers to it weakly.
class Runner : public std::enable_shared_from_this<Runner> {
 public:
  // Exit status, standard output text, standard error text, and what the
  // tool wrote on descriptor 3 (runs given one).
  using Xong = std::function<void(std::int32_t, std::string, std::string, std::string)>;

  // What a run's standard output is for: the text itself (bounded, a
  // larger one ends the run), or only its last line (its tail is kept).
  enum class Output { kText, kLastLine };

  Runner(std::string nodePath, std::string cliPath, std::chrono::seconds timeout = kDefaultTimeout,
         std::chrono::seconds clearSecrets = kDefaultClearSecrets);

  const std::string& nodePath() const { return nodePath_; }
  const std::string& cliPath() const { return cliPath_; }

  // Main thread only; both return at once.
  void push();
  void pull();

 private:
  friend struct RunnerTestAccess;

  void chay(std::vector<std::string> args, std::optional<std::string> stdinText, Xong xong,
            Output output = Output::kText, std::vector<std::string> env = {},
            bool metaPipe = false);
  void updatePasteboard(std::string text, bool secret);
  static std::string dongLoi(std::string_view out, std::string_view err);

  const std::string nodePath_;
  const std::string cliPath_;
  const std::chrono::seconds timeout_;
  const std::chrono::seconds clearSecrets_;
  // Set on the main thread by a press; cleared off it when the run ends.
  std::atomic<bool> busy_{false};
  std::uint64_t writes_ = 0;  // clipboard writes so far; main thread
};

}  // namespace tavrik
