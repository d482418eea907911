// The CLIPBOARD selection, plain text only.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "platform/linux/desktop.h"
#include "platform/linux/latin1.h"
#include "platform/linux/x11.h"
#include "platform/pasteboard.h"
#include "relay/utf8.h"

namespace tavrik::x11 {
namespace {

// How long a clipboard manager may take to copy our text at exit.
constexpr Millis kHandOverTimeout = 3000;
// A requestor that takes no chunk for this long is dropped.
constexpr Millis kRequestorTimeout = 5000;
constexpr std::size_t kLargestChunk = 1024 * 1024;

struct Clipboard {
  std::shared_ptr<const std::string> owned;  // our text while we own CLIPBOARD
  bool secret = false;                       // and whether it is marked so
  xcb_timestamp_t ownedSince = 0;
  std::size_t chunk = kLargestChunk;  // larger texts go by INCR
  IncrSenders senders{kLargestChunk, kRequestorTimeout};
};
Clipboard clipboard;

std::uint8_t eventType(const xcb_generic_event_t* e) { return e->response_type & 0x7F; }

xcb_atom_t intern(const char* name) {
  auto* reply = xcb_intern_atom_reply(
      display.c, xcb_intern_atom(display.c, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
      nullptr);
  const xcb_atom_t atom = reply ? reply->atom : XCB_NONE;
  std::free(reply);
  return atom;
}

struct Property {
  xcb_atom_t type = XCB_NONE;
  std::uint8_t format = 0;
  std::string bytes;
  bool tooLarge = false;
  bool utf8 = false;  // the bytes are UTF-8
};

using PropertyReply = std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)>;

// Reads (and so deletes) a property of `window`, asking for at most `limit`
// bytes and one more, which tells a larger one.
PropertyReply readProperty(xcb_window_t window, xcb_atom_t atom, std::size_t limit) {
  const auto units = static_cast<std::uint32_t>(std::min<std::size_t>(limit / 4 + 1, 0x1FFFFFFF));
  return PropertyReply(xcb_get_property_reply(display.c,
                                              xcb_get_property(display.c, 1, window, atom,
                                                               XCB_GET_PROPERTY_TYPE_ANY, 0, units),
                                              nullptr),
                       &std::free);
}

std::string_view bytesOf(const PropertyReply& reply) {
  return {static_cast<const char*>(xcb_get_property_value(reply.get())),
          static_cast<std::size_t>(xcb_get_property_value_length(reply.get()))};
}

bool tooLarge(const PropertyReply& reply, std::size_t limit) {
  return reply->bytes_after > 0 || bytesOf(reply).size() > limit;
}

// Reads and deletes a property of `window`, if it holds at most `limit`
// bytes.
Property takeProperty(xcb_window_t window, xcb_atom_t atom, std::size_t limit) {
  Property p;
  const auto reply = readProperty(window, atom, limit);
  if (!reply) return p;
  p.type = reply->type;
  p.format = reply->format;
  p.tooLarge = tooLarge(reply, limit);
  if (!p.tooLarge) p.bytes.assign(bytesOf(reply));
  return p;
}

bool isPropertyChange(const xcb_generic_event_t* e, xcb_window_t window, xcb_atom_t atom,
                      std::uint8_t state) {
  if (eventType(e) != XCB_PROPERTY_NOTIFY) return false;
  const auto* p = reinterpret_cast<const xcb_property_notify_event_t*>(e);
  return p->window == window && p->atom == atom && p->state == state;
}

std::optional<xcb_timestamp_t> serverTime() {
  // Any change to a property of ours comes back stamped with the time.
  xcb_change_property(display.c, XCB_PROP_MODE_APPEND, display.window, display.atoms.clock,
                      XCB_ATOM_STRING, 8, 0, nullptr);
  auto* e = waitForEvent(
      [](const xcb_generic_event_t* ev) {
        return isPropertyChange(ev, display.window, display.atoms.clock, XCB_PROPERTY_NEW_VALUE);
      },
      monotonicMillis() + desktop::kNoProgress);
  if (!e) return std::nullopt;
  const auto time = reinterpret_cast<xcb_property_notify_event_t*>(e)->time;
  std::free(e);
  return time;
}

xcb_window_t ownerOf(xcb_atom_t selection) {
  auto* reply = xcb_get_selection_owner_reply(
      display.c, xcb_get_selection_owner(display.c, selection), nullptr);
  const xcb_window_t owner = reply ? reply->owner : XCB_NONE;
  std::free(reply);
  return owner;
}

// One read of the clipboard, bounded in time and size. Answers land on a
// window of its own, so an owner still sending to an abandoned read can
// never write into a later one.
class Read {
 public:
  Read() : window_(xcb_generate_id(display.c)) {
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(display.c, XCB_COPY_FROM_PARENT, window_, display.root, -10, -10, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
  }
  ~Read() {
    xcb_destroy_window(display.c, window_);
    xcb_flush(display.c);
  }
  Read(const Read&) = delete;
  Read& operator=(const Read&) = delete;

  // The owner's answer for one target (type None when it refused), or why
  // there is none; an answer of more than `limit` bytes is kTooLarge.
  std::variant<Property, platform::ReadFailure> convert(xcb_atom_t target, std::size_t limit);

 private:
  Millis deadline() const { return desktop::readDeadline(lastProgress_, started_); }
  platform::ReadFailure late() const { return desktop::lateness(started_); }
  bool newValue(const xcb_generic_event_t* e) const {
    return isPropertyChange(e, window_, display.atoms.selection, XCB_PROPERTY_NEW_VALUE);
  }

  xcb_window_t window_;
  Millis started_ = monotonicMillis();
  Millis lastProgress_ = started_;
};

std::variant<Property, platform::ReadFailure> Read::convert(xcb_atom_t target, std::size_t limit) {
  using platform::ReadFailure;
  const xcb_atom_t selection = display.atoms.selection;
  xcb_delete_property(display.c, window_, selection);
  xcb_convert_selection(display.c, window_, display.atoms.clipboard, target, selection,
                        XCB_CURRENT_TIME);
  auto* e = waitForEvent(
      [this, target](const xcb_generic_event_t* ev) {
        if (eventType(ev) != XCB_SELECTION_NOTIFY) return false;
        const auto* n = reinterpret_cast<const xcb_selection_notify_event_t*>(ev);
        return n->requestor == window_ && n->selection == display.atoms.clipboard &&
               n->target == target;
      },
      deadline());
  if (!e) return late();
  const auto property = reinterpret_cast<xcb_selection_notify_event_t*>(e)->property;
  std::free(e);
  if (property == XCB_NONE) return Property{};
  lastProgress_ = monotonicMillis();

  // Deleting it starts an INCR transfer.
  Property answer = takeProperty(window_, selection, limit);
  if (answer.tooLarge) return ReadFailure::kTooLarge;
  if (answer.type != display.atoms.incr) {
    answer.utf8 = isValidUtf8(answer.bytes);
    return answer;
  }
  std::uint32_t announced = 0;
  if (answer.format == 32 && answer.bytes.size() == 4)
    std::memcpy(&announced, answer.bytes.data(), 4);
  IncrReceiver receiver(limit, announced);
  for (;;) {
    auto* more =
        waitForEvent([this](const xcb_generic_event_t* ev) { return newValue(ev); }, deadline());
    if (!more) return late();
    std::free(more);
    lastProgress_ = monotonicMillis();
    // Straight from the reply into the text: no copy in between.
    const std::size_t room = limit - receiver.size();
    const auto chunk = readProperty(window_, selection, room);
    if (!chunk) return late();
    if (tooLarge(chunk, room)) return ReadFailure::kTooLarge;
    const auto step = receiver.add(bytesOf(chunk));
    if (step == IncrReceiver::Step::kTooLarge) return ReadFailure::kTooLarge;
    if (step == IncrReceiver::Step::kDone) break;
    answer.type = chunk->type;
    answer.format = chunk->format;
  }
  answer.utf8 = receiver.validUtf8();
  answer.bytes = receiver.take();
  return answer;
}

void sendText(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t type,
              std::shared_ptr<const std::string> text) {
  if (text->size() <= clipboard.chunk) {
    xcb_change_property(display.c, XCB_PROP_MODE_REPLACE, requestor, property, type, 8,
                        static_cast<std::uint32_t>(text->size()), text->data());
    return;
  }
  // INCR: announce the size, then a chunk each time the requestor deletes
  // the property. We must hear of those deletions (and of its death).
  const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_change_window_attributes(display.c, requestor, XCB_CW_EVENT_MASK, &mask);
  const auto size = static_cast<std::uint32_t>(std::min<std::size_t>(text->size(), UINT32_MAX));
  xcb_change_property(display.c, XCB_PROP_MODE_REPLACE, requestor, property, display.atoms.incr, 32,
                      1, &size);
  clipboard.senders.start(requestor, property, type, std::move(text), monotonicMillis());
}

bool convertFor(xcb_window_t requestor, xcb_atom_t target, xcb_atom_t property) {
  const Atoms& a = display.atoms;
  if (target == a.targets) {
    const xcb_atom_t targets[] = {a.targets, a.multiple,      a.timestamp,     a.utf8String,
                                  a.text,    a.textPlainUtf8, XCB_ATOM_STRING, a.secretHint};
    // The mark is offered only with a secret.
    xcb_change_property(display.c, XCB_PROP_MODE_REPLACE, requestor, property, XCB_ATOM_ATOM, 32,
                        static_cast<std::uint32_t>(std::size(targets) - (clipboard.secret ? 0 : 1)),
                        targets);
    return true;
  }
  if (target == a.secretHint) {
    if (!clipboard.secret) return false;
    xcb_change_property(display.c, XCB_PROP_MODE_REPLACE, requestor, property, a.secretHint, 8, 6,
                        "secret");
    return true;
  }
  if (target == a.timestamp) {
    xcb_change_property(display.c, XCB_PROP_MODE_REPLACE, requestor, property, XCB_ATOM_INTEGER, 32,
                        1, &clipboard.ownedSince);
    return true;
  }
  if (target == a.utf8String || target == a.text) {
    sendText(requestor, property, a.utf8String, clipboard.owned);
    return true;
  }
  if (target == a.textPlainUtf8) {
    sendText(requestor, property, a.textPlainUtf8, clipboard.owned);
    return true;
  }
  if (target == XCB_ATOM_STRING) {
    sendText(requestor, property, XCB_ATOM_STRING,
             std::make_shared<const std::string>(utf8ToLatin1(*clipboard.owned)));
    return true;
  }
  return false;
}

// MULTIPLE: the property holds (target, property) pairs; a pair we cannot
// convert gets its property replaced by None.
bool convertMultiple(xcb_window_t requestor, xcb_atom_t property) {
  auto* reply = xcb_get_property_reply(
      display.c,
      xcb_get_property(display.c, 0, requestor, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 0x10000),
      nullptr);
  if (!reply) return false;
  std::vector<xcb_atom_t> pairs;
  if (reply->format == 32) {
    const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply));
    pairs.assign(atoms, atoms + xcb_get_property_value_length(reply) / 4);
  }
  std::free(reply);
  pairs.resize(pairs.size() & ~std::size_t{1});
  for (std::size_t i = 0; i < pairs.size(); i += 2) {
    if (pairs[i] == display.atoms.multiple || pairs[i + 1] == XCB_NONE ||
        !convertFor(requestor, pairs[i], pairs[i + 1])) {
      pairs[i + 1] = XCB_NONE;
    }
  }
  xcb_change_property(display.c, XCB_PROP_MODE_REPLACE, requestor, property, display.atoms.atomPair,
                      32, static_cast<std::uint32_t>(pairs.size()), pairs.data());
  return true;
}

void answer(const xcb_selection_request_event_t* r) {
  // Obsolete clients name no property: the target doubles as one.
  const xcb_atom_t property = r->property == XCB_NONE ? r->target : r->property;
  const bool current =
      r->time == XCB_CURRENT_TIME || static_cast<std::int32_t>(r->time - clipboard.ownedSince) >= 0;
  bool ok = false;
  if (r->selection == display.atoms.clipboard && r->owner == display.window && clipboard.owned &&
      current) {
    ok = r->target == display.atoms.multiple
             ? r->property != XCB_NONE && convertMultiple(r->requestor, property)
             : convertFor(r->requestor, r->target, property);
  }
  xcb_selection_notify_event_t n{};
  n.response_type = XCB_SELECTION_NOTIFY;
  n.time = r->time;
  n.requestor = r->requestor;
  n.selection = r->selection;
  n.target = r->target;
  n.property = ok ? property : XCB_NONE;
  xcb_send_event(display.c, 0, r->requestor, XCB_EVENT_MASK_NO_EVENT,
                 reinterpret_cast<const char*>(&n));
  xcb_flush(display.c);
}

void sendNextChunk(const xcb_property_notify_event_t* p) {
  const auto chunk = clipboard.senders.next(p->window, p->atom, monotonicMillis());
  if (!chunk) return;
  xcb_change_property(display.c, XCB_PROP_MODE_REPLACE, p->window, p->atom, chunk->type, 8,
                      static_cast<std::uint32_t>(chunk->bytes.size()), chunk->bytes.data());
  xcb_flush(display.c);
}

}  // namespace

void setUpClipboard() {
  Atoms& a = display.atoms;
  a.clipboard = intern("CLIPBOARD");
  a.targets = intern("TARGETS");
  a.utf8String = intern("UTF8_STRING");
  a.text = intern("TEXT");
  a.timestamp = intern("TIMESTAMP");
  a.multiple = intern("MULTIPLE");
  a.incr = intern("INCR");
  a.atomPair = intern("ATOM_PAIR");
  a.textPlainUtf8 = intern("text/plain;charset=utf-8");
  a.textPlain = intern("text/plain");
  a.clipboardManager = intern("CLIPBOARD_MANAGER");
  a.saveTargets = intern("SAVE_TARGETS");
  a.selection = intern("TAVRIK_SELECTION");
  a.clock = intern("TAVRIK_CLOCK");
  a.secretHint = intern(std::string(platform::kSecretHint).c_str());
  // Keep every request well under the server's limit.
  const std::size_t maxRequest = std::size_t{xcb_get_maximum_request_length(display.c)} * 4;
  clipboard.chunk = std::min(kLargestChunk, maxRequest > 4096 ? maxRequest - 1024 : 4096);
  clipboard.senders = IncrSenders(clipboard.chunk, kRequestorTimeout);
}

bool dispatchSelectionEvent(const xcb_generic_event_t* e) {
  switch (eventType(e)) {
    case XCB_SELECTION_REQUEST:
      answer(reinterpret_cast<const xcb_selection_request_event_t*>(e));
      return true;
    case XCB_SELECTION_CLEAR: {
      const auto* c = reinterpret_cast<const xcb_selection_clear_event_t*>(e);
      if (c->selection == display.atoms.clipboard) {
        clipboard.owned.reset();
        clipboard.secret = false;
      }
      return true;
    }
    case XCB_PROPERTY_NOTIFY: {
      const auto* p = reinterpret_cast<const xcb_property_notify_event_t*>(e);
      if (p->state == XCB_PROPERTY_DELETE && p->window != display.window) sendNextChunk(p);
      return true;
    }
    case XCB_DESTROY_NOTIFY:
      clipboard.senders.forget(reinterpret_cast<const xcb_destroy_notify_event_t*>(e)->window);
      return true;
    default:
      return false;  // errors of unchecked requests (a requestor gone) and the rest
  }
}

void expireTransfers(Millis now) { (void)clipboard.senders.expire(now); }

std::optional<Millis> transferDeadline() { return clipboard.senders.nextDeadline(); }

void handOverClipboard() {
  // A secret goes with the agent.
  if (!clipboard.owned || clipboard.secret || ownerOf(display.atoms.clipboard) != display.window) {
    return;
  }
  if (ownerOf(display.atoms.clipboardManager) == XCB_NONE) return;
  // The freedesktop convention: the manager asks us for these targets and
  // answers once it holds a copy; we keep serving it meanwhile.
  const Atoms& a = display.atoms;
  const xcb_atom_t keep[] = {a.utf8String, a.textPlainUtf8, XCB_ATOM_STRING};
  xcb_change_property(display.c, XCB_PROP_MODE_REPLACE, display.window, a.selection, XCB_ATOM_ATOM,
                      32, std::size(keep), keep);
  xcb_convert_selection(display.c, display.window, a.clipboardManager, a.saveTargets, a.selection,
                        XCB_CURRENT_TIME);
  auto* e = waitForEvent(
      [](const xcb_generic_event_t* ev) {
        if (eventType(ev) != XCB_SELECTION_NOTIFY) return false;
        const auto* n = reinterpret_cast<const xcb_selection_notify_event_t*>(ev);
        return n->requestor == display.window && n->selection == display.atoms.clipboardManager;
      },
      monotonicMillis() + kHandOverTimeout);
  std::free(e);
}

namespace {

// The owner's text, best target first; plain text/plain, whose charset is
// anybody's guess, only when it is valid UTF-8.
std::variant<std::string, platform::ReadFailure> readText(Read& read) {
  using platform::ReadFailure;
  const Atoms& a = display.atoms;
  for (const xcb_atom_t target :
       {a.utf8String, a.textPlainUtf8, xcb_atom_t{XCB_ATOM_STRING}, a.textPlain}) {
    auto outcome = read.convert(target, platform::kMaxText);
    if (auto* failure = std::get_if<ReadFailure>(&outcome)) return *failure;
    auto& answer = std::get<Property>(outcome);
    if (answer.type == XCB_NONE || answer.format != 8) continue;
    if (answer.type == XCB_ATOM_STRING) return latin1ToUtf8(answer.bytes);
    if (answer.type == a.utf8String || answer.type == a.textPlainUtf8 ||
        answer.type == a.textPlain) {
      if (!answer.utf8) return ReadFailure::kNoText;
      return std::move(answer.bytes);
    }
  }
  return ReadFailure::kNoText;
}

// Whether the owner marks its text secret. It is asked only when its
// TARGETS name the mark, or when it has no TARGETS: an owner such as xclip
// answers every target with its text, which would be read a second time.
// A mark that does not come in time (or at all) is no mark.
bool readMark(Read& read) {
  constexpr std::size_t kMarkLimit = 64;
  const xcb_atom_t hint = display.atoms.secretHint;
  const auto targets = read.convert(display.atoms.targets, 4 * 1024);
  const auto* listed = std::get_if<Property>(&targets);
  if (!listed) return false;
  if (listed->type == XCB_ATOM_ATOM && listed->format == 32) {
    std::vector<xcb_atom_t> atoms(listed->bytes.size() / 4);
    std::memcpy(atoms.data(), listed->bytes.data(), atoms.size() * 4);
    if (std::find(atoms.begin(), atoms.end(), hint) == atoms.end()) return false;
  }
  const auto mark = read.convert(hint, kMarkLimit);
  const auto* answer = std::get_if<Property>(&mark);
  return answer && answer->format == 8 && answer->bytes == "secret";
}

}  // namespace

std::variant<platform::PasteboardText, platform::ReadFailure> readClipboard() {
  using platform::ReadFailure;
  if (!connected()) return ReadFailure::kNoText;
  const xcb_window_t owner = ownerOf(display.atoms.clipboard);
  if (owner == XCB_NONE) return ReadFailure::kNoText;
  // Asking ourselves would wait for an answer only we can give.
  if (owner == display.window) {
    if (!clipboard.owned) return ReadFailure::kNoText;
    return platform::PasteboardText{*clipboard.owned, clipboard.secret};
  }
  Read read;
  auto text = readText(read);
  if (auto* failure = std::get_if<ReadFailure>(&text)) return *failure;
  return platform::PasteboardText{std::move(std::get<std::string>(text)), readMark(read)};
}

void clearClipboardIfOurs() {
  if (!connected() || !clipboard.owned || ownerOf(display.atoms.clipboard) != display.window)
    return;
  // Stamped with our own time: should another client take the clipboard
  // meanwhile, its later time wins and this does nothing.
  xcb_set_selection_owner(display.c, XCB_NONE, display.atoms.clipboard, clipboard.ownedSince);
  xcb_flush(display.c);
  clipboard.owned.reset();
  clipboard.secret = false;
}

bool writeClipboard(std::string text, bool secret) {
  if (!connected()) return false;
  const auto time = serverTime();
  if (!time) return false;
  xcb_set_selection_owner(display.c, display.window, display.atoms.clipboard, *time);
  if (ownerOf(display.atoms.clipboard) != display.window) return false;
  clipboard.owned = std::make_shared<const std::string>(std::move(text));
  clipboard.secret = secret;
  clipboard.ownedSince = *time;
  return true;
}

}  // namespace tavrik::x11
