// What every Link gets from the base class: bytes as eight slots and the
// ROM search pass, with errors passed on at the slot they happen.
#include "onewire/link.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "onewire/errors.hpp"
#include "support/sim_link_fixture.hpp"

namespace {

using onewire::SearchPass;
using onewire::Speed;
using LinkSearch = testing_support::SimLinkFixture;

TEST_F(LinkSearch, SearchPassReportsTheFamilyDiscrepancy) {
  add_sensor(0x10, 1);
  add_sensor(0x10, 2);
  add_sensor(0x28, 1);
  SearchPass pass;
  ASSERT_EQ(link.search(pass), 1);
  EXPECT_EQ(pass.rom[0], 0x10);
  // 0x10 and 0x28 first differ in bit 4 (1-based); the two of family 0x10
  // differ only in the serial.
  EXPECT_EQ(pass.last_family_zero, 4);
  EXPECT_GT(pass.last_zero, 8);
  // Skipping the family goes straight to the next one.
  pass.last_discrepancy = pass.last_family_zero;
  ASSERT_EQ(link.search(pass), 1);
  EXPECT_EQ(pass.rom[0], 0x28);
  EXPECT_EQ(pass.last_family_zero, 0);
  EXPECT_EQ(pass.last_zero, 0);

  // Families that differ only in their top bit: bit 8 still counts.
  bus->remove(onewire::sim::make_rom(0x10, 2));
  bus->add(onewire::sim::make_rom_device(onewire::sim::make_rom(0x90, 1)));
  pass = SearchPass{};
  ASSERT_EQ(link.search(pass), 1);
  EXPECT_EQ(pass.rom[0], 0x10);
  EXPECT_EQ(pass.last_family_zero, 8);
}

TEST(Link, DefaultTouchByteIsEightSlotsAndPropagatesErrors) {
  struct Recorder final : onewire::Link {
    int open() override { return 1; }
    void close() override {}
    bool is_open() const override { return true; }
    int reset() override { return onewire::kResetPresence; }
    int touch_bit(int bit) override {
      written.push_back(bit);
      if (static_cast<int>(written.size()) == fail_at) return onewire::kErrPortIo;
      return bit & (reply >> (written.size() - 1));
    }
    int set_speed(Speed) override { return 0; }
    const char* name() const override { return "recorder"; }
    std::vector<int> written;
    int reply = 0xFF;
    int fail_at = 0;
  } link;
  link.reply = 0x5A;
  EXPECT_EQ(link.touch_byte(0xF3), 0x52);
  EXPECT_EQ(link.written, (std::vector<int>{1, 1, 0, 0, 1, 1, 1, 1}));
  link.written.clear();
  link.fail_at = 3;
  EXPECT_EQ(link.touch_byte(0xFF), onewire::kErrPortIo);
  EXPECT_EQ(link.written.size(), 3u);
  link.written.clear();
  link.fail_at = 12;  // the second triplet's first read
  SearchPass pass;
  EXPECT_EQ(link.search(pass), onewire::kErrPortIo);
  EXPECT_EQ(link.written.size(), 12u);
}

}  // namespace
