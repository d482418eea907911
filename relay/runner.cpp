#include "relay/runner.h"

#include <exception>
#include <string>
#include <utility>
#include <variant>

#include "feedback/feedback.h"
#include "platform/pasteboard.h"
#include "platform/process.h"
#include "platform/queues.h"
#include "platform/stderr.h"
#include "relay/utf8.h"

namespace tavrik {
namespace {

constexpr std::string_view kStumbled = "Tavrik trượt chân";

std::string stopReason(platform::ToolStopped::Why why, std::chrono::seconds timeout) {
  if (why == platform::ToolStopped::Why::kTimedOut) {
    return "tavrik không trả lời trong " + std::to_string(timeout.count()) + " giây.";
  }
  return "Chữ lấy về quá lớn (hơn " + std::to_string(platform::kMaxText >> 20) + " MiB).";
}

// For the failures found off the tool's own path; never throws.
void tellFailure(std::string_view body, std::string_view detail = {}) noexcept {
  try {
    phatTieng(false);
    showNotification(kStumbled, std::string(body) + std::string(detail), false);
  } catch (...) {
    platform::writeStderr("tavrik: không báo được lỗi\n");
  }
}

}  // namespace

Runner::Runner(std::string nodePath, std::string cliPath, std::chrono::seconds timeout,
               std::chrono::seconds clearSecrets)
    : nodePath_(std::move(nodePath)),
      cliPath_(std::move(cliPath)),
      timeout_(timeout),
      clearSecrets_(clearSecrets) {}

void Runner::chay(std::vector<std::string> args, std::optional<std::string> stdinText, Xong xong,
                  Output output, std::vector<std::string> env, bool metaPipe) {
  if (busy_.load()) return;
  busy_.store(true);
  // A run that could not be handed over must not leave the runner busy.
  struct Unbusy {
    std::atomic<bool>& busy;
    bool armed = true;
    ~Unbusy() {
      if (armed) busy = false;
    }
  } unbusy{busy_};
  platform::postBackground([weak = weak_from_this(), args = std::move(args),
                            stdinText = std::move(stdinText), xong = std::move(xong), output,
                            extras = platform::RunExtras{std::move(env), metaPipe}] {
    const auto self = weak.lock();
    if (!self) return;
    // Nothing thrown may end the process or leave `busy` set: it is a
    // failure like any other.
    try {
      std::vector<std::string> argv;
      argv.reserve(args.size() + 2);
      argv.push_back(self->nodePath_);
      argv.push_back(self->cliPath_);
      argv.insert(argv.end(), args.begin(), args.end());

      platform::RunLimits limits;
      limits.timeout = self->timeout_;
      limits.maxOut = platform::kMaxText;
      limits.outTailOnly = output == Output::kLastLine;
      auto outcome = platform::runTool(self->nodePath_, argv, stdinText, limits, extras);
      // Free before the outcome is told: a press once it shows is served.
      self->busy_.store(false);
      if (auto* failed = std::get_if<platform::LaunchError>(&outcome)) {
        showNotification(kStumbled, "Không chạy được tavrik: " + failed->description, false);
      } else if (auto* stopped = std::get_if<platform::ToolStopped>(&outcome)) {
        tellFailure(stopReason(stopped->why, self->timeout_));
      } else {
        auto& done = std::get<platform::ToolExit>(outcome);
        // A stream that is not valid UTF-8 is dropped whole.
        if (!isValidUtf8(done.out)) done.out.clear();
        if (!isValidUtf8(done.err)) done.err.clear();
        xong(done.status, std::move(done.out), std::move(done.err), std::move(done.meta));
      }
    } catch (const std::exception& e) {
      self->busy_.store(false);
      tellFailure("Lỗi bên trong tavrik-agent: ", e.what());
    } catch (...) {
      self->busy_.store(false);
      tellFailure("Lỗi bên trong tavrik-agent.");
    }
  });
  unbusy.armed = false;
}

std::string Runner::dongLoi(std::string_view out, std::string_view err) {
  const std::string_view text = err.empty() ? out : err;
  // Cut at line feeds that do not follow a carriage return (CR LF is one
  // character); the last non-empty piece is the line.
  std::string_view last;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    const bool cut = i == text.size() || (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'));
    if (!cut) continue;
    if (i > start) last = text.substr(start, i - start);
    start = i + 1;
  }
  if (last.empty()) return "Không rõ lỗi.";
  return std::string(last);
}

}  // namespace tavrik
