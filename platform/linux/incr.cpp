#include "platform/linux/incr.h"

#include <algorithm>

namespace tavrik::x11 {

void IncrSenders::start(std::uint32_t window, std::uint32_t property, std::uint32_t type,
                        std::shared_ptr<const std::string> data, Millis now) {
  transfers_[{window, property}] = Transfer{std::move(data), type, 0, false, now + timeout_};
}

std::optional<IncrSenders::Chunk> IncrSenders::next(std::uint32_t window, std::uint32_t property,
                                                    Millis now) {
  const auto it = transfers_.find({window, property});
  if (it == transfers_.end()) return std::nullopt;
  Transfer& t = it->second;
  if (t.finished) {
    // The requestor deleted the final empty property: nothing more to do.
    transfers_.erase(it);
    return std::nullopt;
  }
  const std::size_t n = std::min(chunkSize_, t.data->size() - t.sent);
  const std::string_view bytes(t.data->data() + t.sent, n);
  t.sent += n;
  t.deadline = now + timeout_;
  if (n == 0) {
    t.finished = true;
    // Keep the data alive until the caller has written the chunk.
    return Chunk{bytes, t.type, true};
  }
  return Chunk{bytes, t.type, false};
}

std::vector<std::uint32_t> IncrSenders::expire(Millis now) {
  std::vector<std::uint32_t> dropped;
  for (auto it = transfers_.begin(); it != transfers_.end();) {
    if (it->second.deadline <= now) {
      dropped.push_back(it->first.first);
      it = transfers_.erase(it);
    } else {
      ++it;
    }
  }
  return dropped;
}

void IncrSenders::forget(std::uint32_t window) {
  std::erase_if(transfers_, [window](const auto& entry) { return entry.first.first == window; });
}

std::optional<Millis> IncrSenders::nextDeadline() const {
  std::optional<Millis> soonest;
  for (const auto& [key, t] : transfers_) {
    if (!soonest || t.deadline < *soonest) soonest = t.deadline;
  }
  return soonest;
}

}  // namespace tavrik::x11
