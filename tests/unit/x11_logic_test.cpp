#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "platform/linux/incr.h"
#include "platform/linux/keymap.h"
#include "platform/linux/latin1.h"
#include "platform/linux/portal/global_shortcuts.h"

namespace tavrik::x11 {
namespace {

constexpr int kLock = 2, kControl = 4, kMod1 = 8, kMod2 = 16, kMod4 = 64, kMod5 = 128;

// A typical server: Alt on Mod1, NumLock on Mod2, Super on Mod4; the
// table is 8 rows of 2 keycodes.
const std::map<std::uint8_t, std::vector<Keysym>> kSyms{
    {64, {0xFFE9, 0xFFE7}},  // Alt_L, Meta_L
    {77, {0xFF7F}},          // Num_Lock
    {133, {0xFFEB}},         // Super_L
    {78, {0xFF14}},          // Scroll_Lock
    {50, {0xFFE1}},          // Shift_L
};
const std::vector<std::uint8_t> kModmap{50, 0, 66, 0, 37, 0, 64, 0, 77, 0, 0, 0, 133, 0, 78, 0};

ModifierBits typicalBits() {
  return findModifierBits(kModmap, 2, [](std::uint8_t code) {
    const auto it = kSyms.find(code);
    return it == kSyms.end() ? std::vector<Keysym>{} : it->second;
  });
}

TEST(Keymap, ModifierBitsAndTheLockVariantsOfAGrab) {
  const auto bits = typicalBits();
  EXPECT_EQ(bits.alt | bits.super, kMod1 | kMod4);
  const auto variants = lockVariants(static_cast<std::uint16_t>(kControl | kMod1), bits);
  ASSERT_EQ(variants.size(), 8u);
  EXPECT_EQ(variants.front(), kControl | kMod1);
  // CapsLock, NumLock (Mod2), ScrollLock (Mod5): every combination once.
  for (int locks = 0; locks < 8; ++locks) {
    const int mask = (locks & 1 ? kLock : 0) | (locks & 2 ? kMod2 : 0) | (locks & 4 ? kMod5 : 0);
    EXPECT_EQ(std::count(variants.begin(), variants.end(), kControl | kMod1 | mask), 1) << mask;
  }
  // Without NumLock or ScrollLock keys, only CapsLock varies.
  EXPECT_EQ(lockVariants(kControl, ModifierBits{}),
            (std::vector<std::uint16_t>{kControl, kControl | kLock}));
}

TEST(IncrSenders, ChunksThenAnEmptyOneThenDone) {
  IncrSenders senders(4, 1000);
  senders.start(7, 100, 31, std::make_shared<const std::string>("abcdef"), 0);
  EXPECT_FALSE(senders.next(7, 101, 0).has_value());  // another property
  EXPECT_FALSE(senders.next(8, 100, 0).has_value());  // another window
  EXPECT_EQ(senders.next(7, 100, 1)->bytes, "abcd");
  // A repeated request restarts the transfer.
  senders.start(7, 100, 31, std::make_shared<const std::string>("vwxyz"), 2);
  EXPECT_EQ(senders.next(7, 100, 3)->bytes, "vwxy");
  EXPECT_EQ(senders.next(7, 100, 4)->bytes, "z");
  const auto last = senders.next(7, 100, 5);
  EXPECT_TRUE(last->last && last->bytes.empty() && last->type == 31u);
  // The requestor deletes the final empty property: the transfer ends.
  EXPECT_FALSE(senders.next(7, 100, 20).has_value());
  EXPECT_EQ(senders.size(), 0u);
}

TEST(IncrSenders, StalledOrVanishedRequestorsAreDropped) {
  IncrSenders senders(4, 1000);
  senders.start(1, 100, 31, std::make_shared<const std::string>("0123456789"), 0);
  senders.start(2, 100, 31, std::make_shared<const std::string>("0123456789"), 0);
  senders.start(3, 100, 31, std::make_shared<const std::string>("0123456789"), 0);
  EXPECT_EQ(senders.nextDeadline(), 1000);
  ASSERT_TRUE(senders.next(1, 100, 900).has_value());  // progress renews the deadline
  senders.forget(3);
  EXPECT_EQ(senders.expire(999), std::vector<std::uint32_t>{});
  EXPECT_EQ(senders.expire(1000), std::vector<std::uint32_t>{2});
  EXPECT_EQ(senders.nextDeadline(), 1900);
  EXPECT_EQ(senders.expire(1900), std::vector<std::uint32_t>{1});
  EXPECT_FALSE(senders.nextDeadline().has_value());
}

// Checked as it comes, the text is judged as it would be whole, wherever
// the owner cuts its chunks (inside a character too).
TEST(IncrReceiver, ChecksUtf8AsItComesWhereverTheChunksAreCut) {
  for (const std::string text : {"Việt 👋!", "ab\xe1\x88", "\xed\xa0\x80x", "\xf4\x90\x80\x80"}) {
    for (std::size_t a = 1; a < text.size(); ++a) {
      for (std::size_t b = a + 1; b < text.size(); ++b) {
        IncrReceiver receiver(64, 0);
        for (const auto& piece : {text.substr(0, a), text.substr(a, b - a), text.substr(b)}) {
          ASSERT_EQ(receiver.add(piece), IncrReceiver::Step::kMore);
        }
        EXPECT_EQ(receiver.validUtf8(), isValidUtf8(text)) << text << " cut at " << a << ", " << b;
        EXPECT_EQ(receiver.take(), text);
      }
    }
  }
}

TEST(Latin1, BothWays) {
  EXPECT_EQ(latin1ToUtf8("caf\xE9 \xFF"), "café ÿ");
  EXPECT_EQ(utf8ToLatin1("café ÿ Việt 👋!"), "caf\xE9 \xFF Vi?t ?!");
}

// As the portal names a process from the unit a session manager, systemd's
// autostart generator or a user's unit file started it in.
TEST(AppIdOfUnit, AsThePortalReadsIt) {
  for (const auto& [unit, id] : std::map<std::string, std::string>{
           {"app-gnome-vn.tavrik.agent-2713.scope", "vn.tavrik.agent"},
           {"app-vn.tavrik.agent.service", "vn.tavrik.agent"},
           {"app-vn.tavrik.agent@autostart.service", "vn.tavrik.agent"},
           {"app-kde-vn.tavrik.agent-autostart.service", "vn.tavrik.agent"},
           {"app-tavrik-agent@autostart.service", ""},  // too few dots: no id
           {"tavrik-agent.service", ""},
           {"app-vn.tavrik.agent.mount", ""},
       }) {
    EXPECT_EQ(portal::appIdOfUnit(unit), id) << unit;
  }
}

}  // namespace
}  // namespace tavrik::x11
