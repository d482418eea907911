#include "relay/runner.h"

#include <utility>
#include <variant>

#include "feedback/feedback.h"
#include "platform/process.h"
#include "platform/queues.h"
#include "relay/utf8.h"

namespace tavrik {

Runner::Runner(std::string nodePath, std::string cliPath)
    : nodePath_(std::move(nodePath)), cliPath_(std::move(cliPath)) {}

void Runner::chay(std::vector<std::string> args, std::optional<std::string> stdinText, Xong xong) {
  if (busy_) return;
  busy_ = true;
  platform::postBackground([weak = weak_from_this(), args = std::move(args),
                            stdinText = std::move(stdinText), xong = std::move(xong)] {
    const auto self = weak.lock();
    if (!self) return;

    std::vector<std::string> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(self->nodePath_);
    argv.push_back(self->cliPath_);
    argv.insert(argv.end(), args.begin(), args.end());

    auto outcome = platform::runTool(self->nodePath_, argv, stdinText);
    if (auto* failed = std::get_if<platform::LaunchError>(&outcome)) {
      showNotification("Tavrik trượt chân", "Không chạy được tavrik: " + failed->description);
    } else {
      auto& done = std::get<platform::ToolExit>(outcome);
      // A stream that is not valid UTF-8 is dropped whole.
      if (!isValidUtf8(done.out)) done.out.clear();
      if (!isValidUtf8(done.err)) done.err.clear();
      xong(done.status, std::move(done.out), std::move(done.err));
    }
    // Posted after the completion, so whatever it posted runs first.
    platform::postMain([self] { self->busy_ = false; });
  });
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
