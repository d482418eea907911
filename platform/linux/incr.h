#pragma once

// The two halves of an ICCCM INCR transfer, free of X calls so that they
// can be tested without a display. Times are milliseconds of a monotonic
// clock.

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "relay/utf8.h"

namespace tavrik::x11 {

using Millis = std::int64_t;

// Outgoing transfers, one per (requestor window, property). Each deletion
// of the property by the requestor asks for the next chunk; the last chunk
// is empty. A requestor silent for longer than the timeout is dropped.
class IncrSenders {
 public:
  struct Chunk {
    std::string_view bytes;  // valid until the next call
    std::uint32_t type;      // the property type the transfer carries
    bool last;               // the empty chunk that ends the transfer
  };

  IncrSenders(std::size_t chunkSize, Millis timeout) : chunkSize_(chunkSize), timeout_(timeout) {}

  // Starts (or restarts) a transfer; the requestor then waits for chunks.
  void start(std::uint32_t window, std::uint32_t property, std::uint32_t type,
             std::shared_ptr<const std::string> data, Millis now);

  // The requestor deleted the property: the chunk to write now, or nothing
  // when no transfer is waiting on that property.
  std::optional<Chunk> next(std::uint32_t window, std::uint32_t property, Millis now);

  // Drops the transfers whose requestor stalled; their windows.
  std::vector<std::uint32_t> expire(Millis now);

  // Drops every transfer to a window that is gone.
  void forget(std::uint32_t window);

  // When the next transfer would expire; nothing when none is going on.
  std::optional<Millis> nextDeadline() const;

  std::size_t size() const { return transfers_.size(); }

 private:
  struct Transfer {
    std::shared_ptr<const std::string> data;
    std::uint32_t type = 0;
    std::size_t sent = 0;
    bool finished = false;  // the empty chunk has been handed out
    Millis deadline = 0;
  };
  std::size_t chunkSize_;
  Millis timeout_;
  std::map<std::pair<std::uint32_t, std::uint32_t>, Transfer> transfers_;
};

// Incoming transfer: chunks are appended until the empty one, up to a
// limit; past it the transfer is refused and its memory given back. Each
// chunk is checked as UTF-8 as it comes, while the owner makes the next one,
// instead of the whole text at the end.
class IncrReceiver {
 public:
  enum class Step { kMore, kDone, kTooLarge };

  // `announced` is the size the owner gave, a lower bound (0: none given).
  // Room is made up front, for the limit when nothing was announced: pages
  // are not touched until written, while growing would copy the text and
  // touch fresh pages for every doubling.
  IncrReceiver(std::size_t limit, std::size_t announced) : limit_(limit) {
    try {
      data_.reserve(announced > 0 ? std::min(announced, limit) : limit);
    } catch (const std::bad_alloc&) {
      // no room up front: the text grows as it comes
    }
  }

  Step add(std::string_view chunk) {
    if (chunk.empty()) return Step::kDone;
    if (chunk.size() > limit_ - data_.size()) {
      std::string().swap(data_);
      return Step::kTooLarge;
    }
    data_.append(chunk);
    checkUpTo(checked_ + wholeCharacters(std::string_view(data_).substr(checked_)));
    return Step::kMore;
  }
  std::size_t size() const { return data_.size(); }
  // Whether all that came is UTF-8.
  bool validUtf8() {
    checkUpTo(data_.size());
    return valid_;
  }
  std::string take() { return std::move(data_); }

 private:
  void checkUpTo(std::size_t end) {
    valid_ = valid_ && isValidUtf8(std::string_view(data_).substr(checked_, end - checked_));
    checked_ = end;
  }

  std::size_t limit_;
  std::string data_;
  std::size_t checked_ = 0;
  bool valid_ = true;
};

}  // namespace tavrik::x11
