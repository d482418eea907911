// The CLIPBOARD selection, plain text only.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/latin1.h"
#include "platform/linux/x11.h"
#include "platform/pasteboard.h"
#include "relay/utf8.h"

namespace tavrik::x11 {
namespace {

// A stalled owner may cost this much per step, and no more.
constexpr Millis kOwnerTimeout = 1000;
// A requestor that takes no chunk for this long is dropped.
constexpr Millis kRequestorTimeout = 5000;
constexpr std::size_t kLargestChunk = 256 * 1024;

struct Clipboard {
  std::shared_ptr<const std::string> owned;  // our text while we own CLIPBOARD
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
};

// Reads and deletes a property of ours.
Property takeProperty(xcb_atom_t atom) {
  Property p;
  auto* reply = xcb_get_property_reply(display.c,
                                       xcb_get_property(display.c, 1, display.window, atom,
                                                        XCB_GET_PROPERTY_TYPE_ANY, 0, 0x1FFFFFFF),
                                       nullptr);
  if (!reply) return p;
  p.type = reply->type;
  p.format = reply->format;
  const auto* data = static_cast<const char*>(xcb_get_property_value(reply));
  p.bytes.assign(data, static_cast<std::size_t>(xcb_get_property_value_length(reply)));
  std::free(reply);
  return p;
}

bool isOurPropertyChange(const xcb_generic_event_t* e, xcb_atom_t atom, std::uint8_t state) {
  if (eventType(e) != XCB_PROPERTY_NOTIFY) return false;
  const auto* p = reinterpret_cast<const xcb_property_notify_event_t*>(e);
  return p->window == display.window && p->atom == atom && p->state == state;
}

std::optional<xcb_timestamp_t> serverTime() {
  // Any change to a property of ours comes back stamped with the time.
  xcb_change_property(display.c, XCB_PROP_MODE_APPEND, display.window, display.atoms.clock,
                      XCB_ATOM_STRING, 8, 0, nullptr);
  auto* e = waitForEvent(
      [](const xcb_generic_event_t* ev) {
        return isOurPropertyChange(ev, display.atoms.clock, XCB_PROPERTY_NEW_VALUE);
      },
      monotonicMillis() + kOwnerTimeout);
  if (!e) return std::nullopt;
  const auto time = reinterpret_cast<xcb_property_notify_event_t*>(e)->time;
  std::free(e);
  return time;
}

xcb_window_t selectionOwner() {
  auto* reply = xcb_get_selection_owner_reply(
      display.c, xcb_get_selection_owner(display.c, display.atoms.clipboard), nullptr);
  const xcb_window_t owner = reply ? reply->owner : XCB_NONE;
  std::free(reply);
  return owner;
}

enum class Outcome { kText, kRefused, kStalled };

// Asks the owner for one target; INCR answers are collected whole.
Outcome convert(xcb_atom_t target, Property& answer) {
  xcb_delete_property(display.c, display.window, display.atoms.selection);
  xcb_convert_selection(display.c, display.window, display.atoms.clipboard, target,
                        display.atoms.selection, XCB_CURRENT_TIME);
  auto* e = waitForEvent(
      [target](const xcb_generic_event_t* ev) {
        if (eventType(ev) != XCB_SELECTION_NOTIFY) return false;
        const auto* n = reinterpret_cast<const xcb_selection_notify_event_t*>(ev);
        return n->requestor == display.window && n->selection == display.atoms.clipboard &&
               n->target == target;
      },
      monotonicMillis() + kOwnerTimeout);
  if (!e) return Outcome::kStalled;
  const auto property = reinterpret_cast<xcb_selection_notify_event_t*>(e)->property;
  std::free(e);
  if (property == XCB_NONE) return Outcome::kRefused;

  answer = takeProperty(display.atoms.selection);  // deleting it starts an INCR transfer
  if (answer.type != display.atoms.incr) return Outcome::kText;
  IncrReceiver receiver;
  for (;;) {
    auto* more = waitForEvent(
        [](const xcb_generic_event_t* ev) {
          return isOurPropertyChange(ev, display.atoms.selection, XCB_PROPERTY_NEW_VALUE);
        },
        monotonicMillis() + kOwnerTimeout);
    if (!more) return Outcome::kStalled;
    std::free(more);
    Property chunk = takeProperty(display.atoms.selection);
    if (!receiver.add(chunk.bytes)) break;
    answer.type = chunk.type;
    answer.format = chunk.format;
  }
  answer.bytes = receiver.take();
  return Outcome::kText;
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
    const xcb_atom_t targets[] = {a.targets,    a.multiple, a.timestamp,
                                  a.utf8String, a.text,     XCB_ATOM_STRING};
    xcb_change_property(display.c, XCB_PROP_MODE_REPLACE, requestor, property, XCB_ATOM_ATOM, 32,
                        std::size(targets), targets);
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
  a.selection = intern("TAVRIK_SELECTION");
  a.clock = intern("TAVRIK_CLOCK");
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
      if (c->selection == display.atoms.clipboard) clipboard.owned.reset();
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

}  // namespace tavrik::x11

namespace tavrik::platform {

std::optional<std::string> readPasteboardText() {
  using namespace x11;
  if (!connected()) return std::nullopt;
  const xcb_window_t owner = selectionOwner();
  if (owner == XCB_NONE) return std::nullopt;
  // Asking ourselves would wait for an answer only we can give.
  if (owner == display.window) {
    if (!clipboard.owned) return std::nullopt;
    return *clipboard.owned;
  }
  for (const xcb_atom_t target : {display.atoms.utf8String, xcb_atom_t{XCB_ATOM_STRING}}) {
    Property answer;
    const Outcome outcome = convert(target, answer);
    if (outcome == Outcome::kStalled) return std::nullopt;
    if (outcome == Outcome::kRefused || answer.format != 8) continue;
    if (answer.type == display.atoms.utf8String) {
      if (!isValidUtf8(answer.bytes)) return std::nullopt;
      return std::move(answer.bytes);
    }
    if (answer.type == XCB_ATOM_STRING) return latin1ToUtf8(answer.bytes);
  }
  return std::nullopt;
}

bool writePasteboardText(std::string_view text) {
  using namespace x11;
  if (!connected()) return false;
  const auto time = serverTime();
  if (!time) return false;
  xcb_set_selection_owner(display.c, display.window, display.atoms.clipboard, *time);
  if (selectionOwner() != display.window) return false;
  clipboard.owned = std::make_shared<const std::string>(text);
  clipboard.ownedSince = *time;
  return true;
}

}  // namespace tavrik::platform
