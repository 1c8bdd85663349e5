// The kernel's w1 netlink protocol byte by byte: every request the link
// builds against the layout of the kernel's structures (written out here
// as bytes, from the kernel's definitions), every kind of reply it must
// parse, and damaged replies, none of which may be read past its end.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "onewire/sim/bus.hpp"
#include "onewire/w1/protocol.hpp"
#include "support/w1_netlink_bytes.hpp"

namespace {

using namespace testing_support::w1netlink;


class W1Layout : public ::testing::Test {
 protected:
  void SetUp() override {
    if constexpr (std::endian::native != std::endian::little)
      GTEST_SKIP() << "the byte patterns are those of a little-endian host";
  }
};

TEST_F(W1Layout, RequestsAreTheKernelsStructuresByteForByte) {
  // The fact sheet's worked example (master 1, RESET, WRITE CC 44, seq 1),
  // with our ack (= seq) and the padding to four bytes the kernel uses.
  EXPECT_EQ(w1::master_request(1, 1, {{w1::kCmdReset, {}}, {w1::kCmdWrite, {0xCC, 0x44}}}, false),
            hex("3A 00 00 00 03 00 01 00 01 00 00 00 00 00 00 00"
                "03 00 00 00 01 00 00 00 01 00 00 00 01 00 00 00"
                "16 00 00 00 04 00 0A 00 01 00 00 00 00 00 00 00"
                "05 00 00 00 01 00 02 00 CC 44 00 00"));
  // A reset to master 7, replies gathered: cn.flags 1.
  EXPECT_EQ(w1::master_request(0x10002, 7, {{w1::kCmdReset, {}}}, true),
            hex("34 00 00 00 03 00 01 00 02 00 01 00 00 00 00 00"
                "03 00 00 00 01 00 00 00 02 00 01 00 02 00 01 00"
                "10 00 01 00 04 00 04 00 07 00 00 00 00 00 00 00"
                "05 00 00 00"));
  // A search: a command with no data.
  EXPECT_EQ(w1::master_request(5, 2, {{w1::kCmdAlarmSearch, {}}}, true),
            hex("34 00 00 00 03 00 01 00 05 00 00 00 00 00 00 00"
                "03 00 00 00 01 00 00 00 05 00 00 00 05 00 00 00"
                "10 00 01 00 04 00 04 00 02 00 00 00 00 00 00 00"
                "03 00 00 00"));
  // W1_LIST_MASTERS: a message with no data, no master.
  EXPECT_EQ(w1::list_masters_request(9),
            hex("30 00 00 00 03 00 01 00 09 00 00 00 00 00 00 00"
                "03 00 00 00 01 00 00 00 09 00 00 00 09 00 00 00"
                "0C 00 00 00 06 00 00 00 00 00 00 00 00 00 00 00"));
  EXPECT_EQ(w1::master_request_overhead(2), 16u + 20 + 12 + 8);
}

TEST_F(W1Layout, TheFactSheetsRepliesParse) {
  // The two status replies of the worked example, and the builder above
  // against the same bytes.
  const Bytes reset_status = hex(
      "34 00 00 00 03 00 00 00 01 00 00 00 00 00 00 00"
      "03 00 00 00 01 00 00 00 01 00 00 00 00 00 00 00"
      "10 00 00 00 04 00 04 00 01 00 00 00 00 00 00 00"
      "05 00 00 00");
  Piece p = status(0, w1::kCmdReset);
  EXPECT_EQ(datagram(1, {p}), reset_status);
  std::vector<w1::ReplyRecord> out;
  ASSERT_TRUE(w1::parse_reply(reset_status.data(), reset_status.size(), out));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].seq, 1u);
  EXPECT_EQ(out[0].ack, 0u);
  EXPECT_EQ(out[0].type, w1::kMasterCmd);
  EXPECT_EQ(out[0].status, 0);
  EXPECT_EQ(out[0].master(), 1u);
  EXPECT_TRUE(out[0].has_command);
  EXPECT_EQ(out[0].cmd, w1::kCmdReset);
  EXPECT_TRUE(out[0].data.empty());

  // Master absent: 48 bytes, status 0x13 (ENODEV), no command.
  const Bytes absent = hex(
      "30 00 00 00 03 00 00 00 01 00 00 00 00 00 00 00"
      "03 00 00 00 01 00 00 00 01 00 00 00 00 00 00 00"
      "0C 00 00 00 04 13 00 00 01 00 00 00 00 00 00 00");
  EXPECT_EQ(datagram(1, {refusal(0, w1::kStatusEnodev)}), absent);
  out.clear();
  ASSERT_TRUE(w1::parse_reply(absent.data(), absent.size(), out));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_FALSE(out[0].has_command);
  EXPECT_EQ(out[0].status, 19);

  // Gathered (cn.flags 1): one 68-byte datagram, one cn_msg of 32 bytes
  // holding the RESET and WRITE statuses.
  const Bytes bundled = hex(
      "44 00 00 00 03 00 00 00 01 00 00 00 00 00 00 00"
      "03 00 00 00 01 00 00 00 01 00 00 00 00 00 00 00"
      "20 00 01 00 04 00 04 00 01 00 00 00 00 00 00 00"
      "05 00 00 00 04 00 04 00 01 00 00 00 00 00 00 00"
      "01 00 00 00");
  EXPECT_EQ(datagram(1, {status(0, w1::kCmdReset), status(0, w1::kCmdWrite)}, 1), bundled);
  out.clear();
  ASSERT_TRUE(w1::parse_reply(bundled.data(), bundled.size(), out));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].cmd, w1::kCmdReset);
  EXPECT_EQ(out[1].cmd, w1::kCmdWrite);

  // A real kernel's reply to a 3-byte TOUCH: nlmsg_len 55, cn.len 19,
  // msg.len 7, cmd.len 3, ack = seq + 1, the datagram padded to 56.
  const Bytes touch = hex(
      "37 00 00 00 03 00 00 00 2A 00 00 00 00 00 00 00"
      "03 00 00 00 01 00 00 00 2A 00 00 00 2B 00 00 00"
      "13 00 00 00 04 00 07 00 01 00 00 00 00 00 00 00"
      "04 00 03 00 F0 0F 5A 00");
  EXPECT_EQ(datagram(42, {data(42, w1::kCmdTouch, {0xF0, 0x0F, 0x5A})}), touch);
  out.clear();
  ASSERT_TRUE(w1::parse_reply(touch.data(), touch.size(), out));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].ack, 43u);
  EXPECT_EQ(out[0].data, (Bytes{0xF0, 0x0F, 0x5A}));

  // A search that found two devices: 68 bytes, cn.len 32, two ids.
  const onewire::Rom a = onewire::sim::make_rom(0x28, 0x0416913C6BFF);
  const onewire::Rom b = onewire::sim::make_rom(0x10, 0x000802B4A1C3);
  const Bytes found = datagram(7, {data(7, w1::kCmdSearch, rom_bytes({a, b}))});
  EXPECT_EQ(found.size(), 68u);
  EXPECT_EQ(u16_at(found, 16 + 16), 32u);
  out.clear();
  ASSERT_TRUE(w1::parse_reply(found.data(), found.size(), out));
  ASSERT_EQ(out.size(), 1u);
  std::vector<onewire::Rom> roms;
  ASSERT_TRUE(w1::roms_of(out[0].data, roms));
  EXPECT_EQ(roms, (std::vector<onewire::Rom>{a, b}));

  // Masters 1 and 2: nlmsg_len 56, cn.len 20, msg.len 8.
  const Bytes masters = master_list(5, {1, 2});
  EXPECT_EQ(masters.size(), 56u);
  out.clear();
  ASSERT_TRUE(w1::parse_reply(masters.data(), masters.size(), out));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].type, w1::kListMasters);
  std::vector<std::uint32_t> ids;
  ASSERT_TRUE(w1::master_ids_of(out[0].data, ids));
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 2}));
}

TEST_F(W1Layout, EveryDamagedReplyIsRefusedWhole) {
  const std::uint32_t seq = 0x10005;
  const Bytes good = datagram(seq, {status(seq, w1::kCmdReset), data(seq, w1::kCmdTouch, Bytes(18, 0x3C)),
                                    status(seq, w1::kCmdTouch)},
                              1);
  std::vector<w1::ReplyRecord> out;
  ASSERT_TRUE(w1::parse_reply(good.data(), good.size(), out));
  ASSERT_EQ(out.size(), 3u);
  const std::size_t nl_len = u32_at(good, 0);

  // Cut anywhere before the netlink header's own length.
  for (std::size_t n = 0; n < nl_len; ++n) {
    out.clear();
    EXPECT_FALSE(w1::parse_reply(good.data(), n, out)) << n;
    EXPECT_TRUE(out.empty());
  }
  // A netlink length that ends inside a structure, or claims less than
  // its own header; one that ends between two cn_msgs is a shorter reply,
  // sound in itself (the datagram's three cn_msgs start at 16, 52, 106).
  for (std::uint32_t claimed = 0; claimed < nl_len; ++claimed) {
    Bytes d = good;
    std::memcpy(d.data(), &claimed, 4);
    out.clear();
    const bool between = claimed == 16 || claimed == 52 || claimed == 106;
    EXPECT_EQ(w1::parse_reply(d.data(), d.size(), out), between) << claimed;
    EXPECT_EQ(out.size(), claimed == 52 ? 1u : claimed == 106 ? 2u : 0u) << claimed;
  }
  // Lengths that reach past what holds them: cn.len, msg.len, cmd.len,
  // each up to 0xFFFF.
  for (std::size_t at : {16u + 16u, 36u + 2u, 48u + 2u}) {
    for (std::uint16_t v : {std::uint16_t(u16_at(good, at) + 1), std::uint16_t(0x7FFF), std::uint16_t(0xFFFF)}) {
      Bytes d = good;
      std::memcpy(d.data() + at, &v, 2);
      out.clear();
      EXPECT_FALSE(w1::parse_reply(d.data(), d.size(), out)) << at << " = " << v;
      EXPECT_TRUE(out.empty());
    }
  }
  // Another connector's message.
  Bytes other = good;
  other[16] = 1;
  EXPECT_FALSE(w1::parse_reply(other.data(), other.size(), out));
  // A netlink message that is not the kernel's reply type holds nothing.
  Bytes noop = good;
  noop[4] = 1;  // NLMSG_NOOP
  out.clear();
  EXPECT_TRUE(w1::parse_reply(noop.data(), noop.size(), out));
  EXPECT_TRUE(out.empty());
  // Search data that is not whole ids, master data not whole u32s.
  std::vector<onewire::Rom> roms;
  EXPECT_FALSE(w1::roms_of(Bytes(12, 0), roms));
  std::vector<std::uint32_t> ids;
  EXPECT_FALSE(w1::master_ids_of(Bytes(6, 0), ids));
  EXPECT_FALSE(w1::parse_reply(nullptr, 0, out));
}

TEST_F(W1Layout, RandomDamageNeverReadsOutsideTheDatagram) {
  // Under AddressSanitizer a read past the end is a failure; every
  // record kept must lie inside what was given.
  std::mt19937 rng(2490);
  const std::uint32_t seq = 77;
  const Bytes base = datagram(seq, {status(seq, w1::kCmdReset), data(seq, w1::kCmdSearch, Bytes(24, 0x28)),
                                    status(seq, w1::kCmdSearch)},
                              1);
  int accepted = 0;
  for (int round = 0; round < 4000; ++round) {
    Bytes d = base;
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int f = 0; f < flips; ++f) d[rng() % d.size()] = static_cast<std::uint8_t>(rng());
    d.resize(rng() % 3 == 0 ? rng() % (d.size() + 1) : d.size());
    // A heap copy of exactly that size, so a read past it is caught.
    auto exact = std::make_unique<std::uint8_t[]>(d.size() + 1);
    std::copy(d.begin(), d.end(), exact.get());
    std::vector<w1::ReplyRecord> out;
    if (!w1::parse_reply(exact.get(), d.size(), out)) {
      EXPECT_TRUE(out.empty());
      continue;
    }
    ++accepted;
    std::size_t bytes = 0;
    for (const auto& r : out) bytes += r.data.size() + 12;
    EXPECT_LE(bytes, d.size());
  }
  EXPECT_GT(accepted, 0);
}

}  // namespace
