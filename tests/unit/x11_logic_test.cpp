#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "platform/linux/incr.h"
#include "platform/linux/keymap.h"
#include "platform/linux/latin1.h"

namespace tavrik::x11 {
namespace {

constexpr int kShift = 1, kLock = 2, kControl = 4, kMod1 = 8, kMod2 = 16, kMod3 = 32, kMod4 = 64,
              kMod5 = 128;

TEST(Keymap, MacKeyCodesToUsLayoutKeysyms) {
  EXPECT_EQ(keysymForMacKey(0), 'a');
  EXPECT_EQ(keysymForMacKey(8), 'c');
  EXPECT_EQ(keysymForMacKey(11), 'b');
  EXPECT_EQ(keysymForMacKey(29), '0');
  EXPECT_EQ(keysymForMacKey(22), '6');
  EXPECT_EQ(keysymForMacKey(49), 0x20u);     // space
  EXPECT_EQ(keysymForMacKey(36), 0xFF0Du);   // Return
  EXPECT_EQ(keysymForMacKey(48), 0xFF09u);   // Tab
  EXPECT_EQ(keysymForMacKey(53), 0xFF1Bu);   // Escape
  EXPECT_EQ(keysymForMacKey(122), 0xFFBEu);  // F1
  EXPECT_EQ(keysymForMacKey(109), 0xFFC7u);  // F10
  EXPECT_EQ(keysymForMacKey(111), 0xFFC9u);  // F12
  EXPECT_EQ(keysymForMacKey(10), 0u);        // no such key in the table
  EXPECT_EQ(keysymForMacKey(200), 0u);
}

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

TEST(Keymap, ModifierBitsComeFromTheModifierMapping) {
  const auto bits = typicalBits();
  EXPECT_EQ(bits.alt, kMod1);
  EXPECT_EQ(bits.numLock, kMod2);
  EXPECT_EQ(bits.super, kMod4);
  EXPECT_EQ(bits.scrollLock, kMod5);

  // Moved around on another server: nothing is assumed.
  const std::vector<std::uint8_t> moved{0, 0, 0, 0, 0, 0, 133, 0, 0, 0, 64, 0, 0, 0, 0, 0};
  const auto other = findModifierBits(moved, 2, [](std::uint8_t code) { return kSyms.at(code); });
  EXPECT_EQ(other.super, kMod1);
  EXPECT_EQ(other.alt, kMod3);
  EXPECT_EQ(other.numLock, 0);
}

TEST(Keymap, CarbonMasksToXMasks) {
  const auto bits = typicalBits();
  EXPECT_EQ(xMaskFor(0x1800, bits), kControl | kMod1);  // ctrl+alt
  EXPECT_EQ(xMaskFor(0x0300, bits), kShift | kMod4);    // cmd+shift
  EXPECT_EQ(xMaskFor(0x1B00, bits), kControl | kShift | kMod1 | kMod4);
  ModifierBits noSuper = bits;
  noSuper.super = 0;
  EXPECT_FALSE(xMaskFor(0x0100, noSuper).has_value());
  EXPECT_EQ(xMaskFor(0x1000, noSuper), kControl);
}

TEST(Keymap, LockVariantsCoverEveryCombinationOnce) {
  const auto bits = typicalBits();
  const auto variants = lockVariants(static_cast<std::uint16_t>(kControl | kMod1), bits);
  ASSERT_EQ(variants.size(), 8u);
  EXPECT_EQ(variants.front(), kControl | kMod1);
  for (int locks : {0, kLock, kMod2, kMod5, kLock | kMod2, kLock | kMod5, kMod2 | kMod5,
                    kLock | kMod2 | kMod5}) {
    EXPECT_EQ(std::count(variants.begin(), variants.end(), kControl | kMod1 | locks), 1) << locks;
  }
  // Without NumLock or ScrollLock keys, only CapsLock varies.
  EXPECT_EQ(lockVariants(kControl, ModifierBits{}),
            (std::vector<std::uint16_t>{kControl, kControl | kLock}));
}

TEST(Keymap, EventStateIgnoresLocksAndButtons) {
  const auto bits = typicalBits();
  const int button1 = 1 << 8;
  EXPECT_EQ(
      significantState(
          static_cast<std::uint16_t>(kControl | kMod1 | kLock | kMod2 | kMod5 | button1), bits),
      kControl | kMod1);
  EXPECT_EQ(significantState(static_cast<std::uint16_t>(kControl | kMod1 | kShift), bits),
            kControl | kMod1 | kShift);
  EXPECT_EQ(significantState(static_cast<std::uint16_t>(kMod4 | kMod3), bits), kMod4 | kMod3);
}

TEST(IncrSenders, ChunksThenAnEmptyOneThenDone) {
  IncrSenders senders(4, 1000);
  senders.start(7, 100, 31, std::make_shared<const std::string>("abcdefghij"), 0);
  EXPECT_FALSE(senders.next(7, 101, 0).has_value());  // another property
  EXPECT_FALSE(senders.next(8, 100, 0).has_value());  // another window
  std::string got;
  for (;;) {
    const auto c = senders.next(7, 100, 10);
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(c->type, 31u);
    if (c->last) {
      EXPECT_TRUE(c->bytes.empty());
      break;
    }
    EXPECT_LE(c->bytes.size(), 4u);
    got += c->bytes;
  }
  EXPECT_EQ(got, "abcdefghij");
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

TEST(IncrSenders, ARepeatedRequestRestartsTheTransfer) {
  IncrSenders senders(4, 1000);
  senders.start(1, 100, 31, std::make_shared<const std::string>("abcdef"), 0);
  ASSERT_EQ(senders.next(1, 100, 1)->bytes, "abcd");
  senders.start(1, 100, 31, std::make_shared<const std::string>("xyz"), 2);
  EXPECT_EQ(senders.next(1, 100, 3)->bytes, "xyz");
  EXPECT_TRUE(senders.next(1, 100, 4)->last);
}

TEST(IncrReceiver, StopsAtTheEmptyChunkOrPastItsLimit) {
  using Step = IncrReceiver::Step;
  IncrReceiver r(5);
  EXPECT_EQ(r.add("ab"), Step::kMore);
  EXPECT_EQ(r.add("cde"), Step::kMore);  // exactly the limit
  EXPECT_EQ(r.add(""), Step::kDone);
  EXPECT_EQ(r.take(), "abcde");
  IncrReceiver over(5);
  EXPECT_EQ(over.add("abcd"), Step::kMore);
  EXPECT_EQ(over.add("ef"), Step::kTooLarge);
  EXPECT_EQ(over.size(), 0u);  // the memory is given back at once
}

TEST(Latin1, BothWays) {
  EXPECT_EQ(latin1ToUtf8("caf\xE9 \xFF"), "café ÿ");
  EXPECT_EQ(utf8ToLatin1("café ÿ"), "caf\xE9 \xFF");
  EXPECT_EQ(utf8ToLatin1("Việt 👋!"), "Vi?t ?!");
  EXPECT_EQ(latin1ToUtf8(utf8ToLatin1("plain ASCII\n")), "plain ASCII\n");
}

}  // namespace
}  // namespace tavrik::x11
