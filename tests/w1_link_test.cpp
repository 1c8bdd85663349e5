// The w1 link over a scripted channel: each operation as one request of
// the kernel's layout, the answers it reads from the replies a kernel
// sends, and replies no sound kernel sends (cut short, too long, stale,
// refused), none of which may crash it or leave it waiting past its
// deadline; and its search passes over the kernel's list against those
// of a bit-level search.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "onewire/errors.hpp"
#include "onewire/sim/bus.hpp"
#include "onewire/sim/sim_link.hpp"
#include "onewire/w1/protocol.hpp"
#include "onewire/w1/w1_link.hpp"
#include "support/scripted_w1_channel.hpp"
#include "support/w1_netlink_bytes.hpp"

namespace {

using namespace std::chrono_literals;
using namespace testing_support::w1netlink;

using W1ScriptedLink = testing_support::w1netlink::ScriptedW1LinkFixture;

TEST_F(W1ScriptedLink, OpenSaysWhatIsMissing) {
  // No w1 subsystem, then no such master: sysfs tells, no socket is made.
  sysfs.unload_w1();
  EXPECT_EQ(make_link()->open(), onewire::kErrW1NotLoaded);
  sysfs.load_w1();
  EXPECT_EQ(make_link()->open(), onewire::kErrPortUnavailable);
  EXPECT_EQ(make_link(0)->open(), onewire::kErrPortUnavailable);
  EXPECT_EQ(script->opens, 0);
  sysfs.add_master(1);
  // The socket refused: no connector in the kernel, or not permitted.
  script->open_result = onewire::kErrW1NoConnector;
  EXPECT_EQ(make_link()->open(), onewire::kErrW1NoConnector);
  script->open_result = onewire::kErrPermission;
  EXPECT_EQ(make_link()->open(), onewire::kErrPermission);
  script->open_result = 1;
  script->send_result = onewire::kErrPermission;
  EXPECT_EQ(make_link()->open(), onewire::kErrPermission);
  script->send_result = 1;
  // Nobody answers W1_LIST_MASTERS: w1 without its connector interface.
  script->kernel = nullptr;
  const auto start = std::chrono::steady_clock::now();
  auto silent = make_link();
  EXPECT_EQ(silent->open(), onewire::kErrW1NoConnector);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_FALSE(silent->is_open());
  EXPECT_FALSE(script->open) << "the socket is closed again";
  // The kernel has other masters, not this one (it went away since).
  kernel([](const Asked& a) { return std::vector<Bytes>{master_list(a.seq, {2, 3})}; });
  EXPECT_EQ(make_link()->open(), onewire::kErrPortUnavailable);
  // The kernel's list names it: open.
  kernel([](const Asked& a) { return std::vector<Bytes>{master_list(a.seq, {3, 1})}; });
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  EXPECT_TRUE(link->is_open());
  EXPECT_TRUE(matches(last_sent(), pattern("30 00 00 00 03 00 01 00 SS SS SS SS 00 00 00 00"
                                           "03 00 00 00 01 00 00 00 SS SS SS SS SS SS SS SS"
                                           "0C 00 00 00 06 00 00 00 00 00 00 00 00 00 00 00")));
}

TEST_F(W1ScriptedLink, EachOperationIsOneRequestOfTheKernelsLayout) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  const std::size_t before = sent().size();

  EXPECT_EQ(link->reset(), onewire::kResetPresence);
  EXPECT_TRUE(matches(last_sent(), pattern("34 00 00 00 03 00 01 00 SS SS SS SS 00 00 00 00"
                                           "03 00 00 00 01 00 00 00 SS SS SS SS SS SS SS SS"
                                           "10 00 01 00 04 00 04 00 01 00 00 00 00 00 00 00"
                                           "05 00 00 00")));
  EXPECT_EQ(link->touch_byte(0xCC), 0xCC);
  EXPECT_TRUE(matches(last_sent(), pattern("35 00 00 00 03 00 01 00 SS SS SS SS 00 00 00 00"
                                           "03 00 00 00 01 00 00 00 SS SS SS SS SS SS SS SS"
                                           "11 00 01 00 04 00 05 00 01 00 00 00 00 00 00 00"
                                           "04 00 01 00 CC 00 00 00")));
  // The scratchpad read as the worker makes it: reset, MATCH ROM, the
  // ROM and the bytes in one message of two commands.
  const onewire::Rom rom = onewire::sim::make_rom(0x28, 0x0416913C6BFF);
  std::array<std::uint8_t, 10> pad{0xBE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(link->block(&rom, false, pad.data(), pad.size()), 1);
  std::string touch = "55";
  for (auto b : rom) {
    static const char* kDigits = "0123456789ABCDEF";
    touch += {' ', kDigits[b >> 4], kDigits[b & 15]};
  }
  touch += " BE FF FF FF FF FF FF FF FF FF 00";
  EXPECT_TRUE(matches(last_sent(), pattern("4B 00 00 00 03 00 01 00 SS SS SS SS 00 00 00 00"
                                           "03 00 00 00 01 00 00 00 SS SS SS SS SS SS SS SS"
                                           "27 00 01 00 04 00 1B 00 01 00 00 00 00 00 00 00"
                                           "05 00 00 00 04 00 13 00 " +
                                           touch)));
  // A block of bytes alone is one TOUCH; a reset alone with no bytes is
  // one RESET.
  std::array<std::uint8_t, 2> two{0xFF, 0xFF};
  EXPECT_EQ(link->block(nullptr, false, two.data(), two.size()), 1);
  EXPECT_TRUE(matches(last_sent(), pattern("36 00 00 00 03 00 01 00 SS SS SS SS 00 00 00 00"
                                           "03 00 00 00 01 00 00 00 SS SS SS SS SS SS SS SS"
                                           "12 00 01 00 04 00 06 00 01 00 00 00 00 00 00 00"
                                           "04 00 02 00 FF FF 00 00")));
  EXPECT_EQ(link->block(nullptr, true, nullptr, 0), 1);
  EXPECT_EQ(asked(last_sent()).cmds.size(), 1u);
  EXPECT_EQ(asked(last_sent()).cmds[0].cmd, w1::kCmdReset);
  // A search and an alarm search.
  onewire::SearchPass pass;
  link->search(pass);
  EXPECT_TRUE(matches(last_sent(), pattern("34 00 00 00 03 00 01 00 SS SS SS SS 00 00 00 00"
                                           "03 00 00 00 01 00 00 00 SS SS SS SS SS SS SS SS"
                                           "10 00 01 00 04 00 04 00 01 00 00 00 00 00 00 00"
                                           "02 00 00 00")));
  onewire::SearchPass alarm;
  alarm.alarm_only = true;
  link->search(alarm);
  EXPECT_EQ(asked(last_sent()).cmds.at(0).cmd, w1::kCmdAlarmSearch);
  EXPECT_EQ(sent().size(), before + 7) << "one request per operation";
  // Sequence numbers differ from request to request.
  const auto all = sent();
  for (std::size_t i = 1; i < all.size(); ++i) EXPECT_NE(u32_at(all[i], 8), u32_at(all[i - 1], 8));
  // No time slot and no other speed over the connector.
  EXPECT_EQ(link->touch_bit(1), onewire::kErrNotOffered);
  EXPECT_EQ(link->set_speed(onewire::Speed::kNormal), 0);
  EXPECT_EQ(link->set_speed(onewire::Speed::kOverdrive), onewire::kErrSpeed);
  EXPECT_FALSE(link->can_strong_pullup());
  EXPECT_EQ(link->touch_byte_pullup(0x44), onewire::kErrNotOffered);
  EXPECT_EQ(sent().size(), before + 7) << "none of these reached the kernel";
}

TEST_F(W1ScriptedLink, PresenceAndTheBlocksAnswers) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  // The bus answers through the script: what the block reads back.
  std::array<std::uint8_t, 3> bytes{0x33, 0xFF, 0xFF};  // READ ROM
  ASSERT_EQ(link->block(nullptr, true, bytes.data(), bytes.size()), 1);
  EXPECT_EQ(bytes[0], 0x33);
  // Two devices answer READ ROM at once: the wired AND of both families.
  EXPECT_EQ(bytes[1], 0x28);
  // Nobody on the bus: the reset says so and the block reports it.
  for (const auto& d : bus->devices()) bus->remove(d->rom());
  EXPECT_EQ(link->reset(), onewire::kResetNoPresence);
  const onewire::Rom rom = onewire::sim::make_rom(0x28, 1);
  EXPECT_EQ(link->block(&rom, false, bytes.data(), bytes.size()), 0);
  EXPECT_EQ(link->match(rom), 0);
  // A status no reset has: the kernel answered something else.
  kernel([](const Asked& a) { return std::vector<Bytes>{datagram(a.seq, {status(a.seq, w1::kCmdReset, 5)})}; });
  EXPECT_EQ(link->reset(), onewire::kErrAdapterNoResponse);
  // A long block goes out in several requests, the reset only in the
  // first, and comes back whole.
  bus->add(onewire::sim::make_rom_device(rom));
  script->kernel = [this](const Bytes& r) { return answer_as_kernel(r, *bus); };
  std::vector<std::uint8_t> big(10000, 0xFF);
  const std::size_t before = sent().size();
  ASSERT_EQ(link->block(nullptr, true, big.data(), big.size()), 1);
  const auto all = sent();
  ASSERT_EQ(all.size(), before + 3);
  EXPECT_EQ(asked(all[before]).cmds.size(), 2u);
  EXPECT_EQ(asked(all[before + 1]).cmds.size(), 1u);
  std::size_t touched = 0;
  for (std::size_t i = before; i < all.size(); ++i) {
    EXPECT_LE(all[i].size(), 16u + w1::kMaxPayload);
    for (const auto& c : asked(all[i]).cmds)
      if (c.cmd == w1::kCmdTouch) touched += c.data.size();
  }
  EXPECT_EQ(touched, big.size());
  EXPECT_TRUE(std::all_of(big.begin(), big.end(), [](std::uint8_t b) { return b == 0xFF; }));
}

TEST_F(W1ScriptedLink, StaleForeignAndRepliesSplitAcrossDatagramsAreSortedOut) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  // A late reply to an earlier request and an event come first; then the
  // real reply in three datagrams, as a kernel without bundling sends it.
  kernel([](const Asked& a) {
    Piece event;
    event.type = w1::kSlaveAdd;
    event.has_cmd = false;
    return std::vector<Bytes>{datagram(a.seq - 1, {status(a.seq - 1, w1::kCmdTouch)}),
                              datagram(a.seq, {event}),
                              datagram(a.seq, {data(a.seq, w1::kCmdTouch, {0x12})}),
                              datagram(a.seq, {status(a.seq, w1::kCmdTouch)})};
  });
  EXPECT_EQ(link->touch_byte(0xFF), 0x12);
  // A search list in pieces: each piece adds to the list.
  const onewire::Rom a = onewire::sim::make_rom(0x28, 0x10);
  const onewire::Rom b = onewire::sim::make_rom(0x28, 0x20);
  kernel([&](const Asked& q) {
    return std::vector<Bytes>{datagram(q.seq, {data(q.seq, w1::kCmdSearch, rom_bytes({b}))}),
                              datagram(q.seq, {data(q.seq, w1::kCmdSearch, rom_bytes({a}))}),
                              datagram(q.seq, {status(q.seq, w1::kCmdSearch)})};
  });
  onewire::SearchPass pass;
  ASSERT_EQ(link->search(pass), 1);
  std::vector<onewire::Rom> found{pass.rom};
  while (pass.last_zero != 0 && found.size() < 4) {
    pass.last_discrepancy = pass.last_zero;
    ASSERT_EQ(link->search(pass), 1);
    found.push_back(pass.rom);
  }
  EXPECT_EQ(found.size(), 2u);
  EXPECT_NE(std::find(found.begin(), found.end(), a), found.end());
  EXPECT_NE(std::find(found.begin(), found.end(), b), found.end());
}

TEST_F(W1ScriptedLink, HostileRepliesEndTheOperationWithinItsDeadline) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  struct Case {
    const char* what;
    std::function<std::vector<Bytes>(const Asked&)> reply;
    int want;
  };
  const std::vector<Case> cases = {
      {"only a stale seq", [](const Asked& a) { return std::vector<Bytes>{datagram(a.seq + 7, {status(a.seq + 7, 4)})}; },
       onewire::kErrAdapterNoResponse},
      {"nothing", [](const Asked&) { return std::vector<Bytes>{}; }, onewire::kErrAdapterNoResponse},
      {"cut short",
       [](const Asked& a) {
         Bytes d = datagram(a.seq, {data(a.seq, w1::kCmdTouch, {1}), status(a.seq, w1::kCmdTouch)}, 1);
         d.resize(d.size() - 9);
         return std::vector<Bytes>{d};
       },
       onewire::kErrAdapterNoResponse},
      {"cn.len 0xFFFF",
       [](const Asked& a) {
         Bytes d = datagram(a.seq, {status(a.seq, w1::kCmdTouch)});
         d[32] = 0xFF;
         d[33] = 0xFF;
         return std::vector<Bytes>{d};
       },
       onewire::kErrAdapterNoResponse},
      {"an empty datagram", [](const Asked&) { return std::vector<Bytes>{Bytes{}}; }, onewire::kErrAdapterNoResponse},
      {"the data of another command",
       [](const Asked& a) {
         return std::vector<Bytes>{datagram(a.seq, {data(a.seq, w1::kCmdRead, {1}), status(a.seq, w1::kCmdTouch)})};
       },
       onewire::kErrAdapterNoResponse},
      {"two bytes for one",
       [](const Asked& a) {
         return std::vector<Bytes>{
             datagram(a.seq, {data(a.seq, w1::kCmdTouch, {1, 2}), status(a.seq, w1::kCmdTouch)})};
       },
       onewire::kErrAdapterNoResponse},
      {"a status with data",
       [](const Asked& a) {
         Piece st = status(a.seq, w1::kCmdTouch);
         st.data = {9};
         return std::vector<Bytes>{datagram(a.seq, {data(a.seq, w1::kCmdTouch, {1}), st})};
       },
       onewire::kErrAdapterNoResponse},
      {"another master's reply",
       [](const Asked& a) {
         Piece d = data(a.seq, w1::kCmdTouch, {1});
         Piece s = status(a.seq, w1::kCmdTouch);
         d.master = s.master = 2;
         return std::vector<Bytes>{datagram(a.seq, {d, s})};
       },
       onewire::kErrAdapterNoResponse},
      {"an error status (ENOMEM)",
       [](const Asked& a) { return std::vector<Bytes>{datagram(a.seq, {status(a.seq, w1::kCmdTouch, w1::kStatusEnomem)})}; },
       onewire::kErrAdapterNoResponse},
      {"E2BIG", [](const Asked& a) { return std::vector<Bytes>{datagram(a.seq, {status(a.seq, w1::kCmdTouch, 7)})}; },
       onewire::kErrAdapterNoResponse},
      {"the message refused (EPROTO)",
       [](const Asked& a) { return std::vector<Bytes>{datagram(a.seq, {refusal(a.seq, w1::kStatusEproto)})}; },
       onewire::kErrAdapterNoResponse},
      {"endless data",
       [](const Asked& a) {
         std::vector<Bytes> flood;
         for (int i = 0; i < 40; ++i) flood.push_back(datagram(a.seq, {data(a.seq, w1::kCmdTouch, Bytes(1000, 0))}));
         return flood;
       },
       onewire::kErrAdapterNoResponse},
  };
  for (const auto& c : cases) {
    kernel(c.reply);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link->touch_byte(0xFF), c.want) << c.what;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << c.what;
    // The socket stays: the next operation works again.
    script->kernel = [this](const Bytes& r) { return answer_as_kernel(r, *bus); };
    EXPECT_TRUE(link->is_open()) << c.what;
    EXPECT_EQ(link->touch_byte(0xA5), 0xA5) << c.what;
  }
  // Search data that is not whole ids.
  kernel([](const Asked& a) {
    return std::vector<Bytes>{datagram(a.seq, {data(a.seq, w1::kCmdSearch, Bytes(11, 0x28)), status(a.seq, w1::kCmdSearch)})};
  });
  onewire::SearchPass pass;
  EXPECT_EQ(link->search(pass), onewire::kErrAdapterNoResponse);
}

TEST_F(W1ScriptedLink, AMasterThatWentAwayClosesTheLinkAndIsLookedForAgain) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  // The kernel no longer has master 1 (its driver was unloaded).
  kernel([](const Asked& a) -> std::vector<Bytes> {
    if (a.type == w1::kListMasters) return {master_list(a.seq, {})};
    return {datagram(a.seq, {refusal(a.seq, w1::kStatusEnodev)})};
  });
  sysfs.remove_master(1);
  EXPECT_EQ(link->reset(), onewire::kErrPortIo);
  EXPECT_FALSE(link->is_open());
  EXPECT_EQ(link->open(), onewire::kErrPortUnavailable);
  // Back: the next open finds it.
  sysfs.add_master(1);
  script->kernel = [this](const Bytes& r) { return answer_as_kernel(r, *bus); };
  ASSERT_EQ(link->open(), 1);
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
  // A socket that fails ends the session's hold on it too.
  script->send_result = onewire::kErrPortIo;
  EXPECT_EQ(link->touch_byte(0xFF), onewire::kErrPortIo);
  EXPECT_FALSE(link->is_open());
  EXPECT_EQ(link->touch_byte(0xFF), onewire::kErrPortIo);
}

// Every pass of a search over the kernel's list is the pass a search over
// a bus of those devices makes, slot by slot: compared with our bit-level
// search on the simulated bus, on buses whose ROMs share long prefixes.
TEST_F(W1ScriptedLink, PassesFromTheKernelsListAreThoseOfABitLevelSearch) {
  std::mt19937_64 rng(18);
  for (int trial = 0; trial < 60; ++trial) {
    auto sim = std::make_shared<onewire::sim::SimBus>();
    std::vector<onewire::Rom> roms;
    const int count = 1 + static_cast<int>(rng() % 24);
    const std::uint64_t base = rng() & 0xFFFFFFFF0000ULL;
    for (int i = 0; i < count; ++i) {
      // Families that differ in their top bit too (0x81 is the DS9490's
      // ID chip, 0xA2 any other), so the family byte has discrepancies
      // down to bit 8.
      static constexpr std::uint8_t kFamilies[] = {0x10, 0x28, 0x22, 0x81, 0xA2};
      const std::uint8_t family = kFamilies[rng() % 5];
      const onewire::Rom rom = onewire::sim::make_rom(family, base | (rng() % 4096));
      if (std::find(roms.begin(), roms.end(), rom) != roms.end()) continue;
      roms.push_back(rom);
      sim->add(onewire::sim::make_rom_device(rom));
    }
    // The kernel lists them in its own order; the link sorts.
    std::vector<onewire::Rom> listed = roms;
    std::shuffle(listed.begin(), listed.end(), rng);
    script->kernel = [&](const Bytes& r) { return answer_as_kernel(r, *sim, &listed); };
    auto link = make_link();
    ASSERT_EQ(link->open(), 1);
    onewire::sim::SimLink reference(sim);
    ASSERT_EQ(reference.open(), 1);
    onewire::SearchPass mine, theirs;
    for (int k = 0; k <= count; ++k) {
      const int a = link->search(mine);
      const int b = reference.search(theirs);
      ASSERT_EQ(a, b) << "trial " << trial << " pass " << k;
      if (a != 1) break;
      ASSERT_EQ(mine.rom, theirs.rom) << "trial " << trial << " pass " << k;
      ASSERT_EQ(mine.last_zero, theirs.last_zero) << "trial " << trial << " pass " << k;
      ASSERT_EQ(mine.last_family_zero, theirs.last_family_zero) << "trial " << trial << " pass " << k;
      if (mine.last_zero == 0) break;
      mine.last_discrepancy = mine.last_zero;
      theirs.last_discrepancy = theirs.last_zero;
    }
    // A pass resumed at a discrepancy no device of the list takes finds
    // nobody, as on the bus.
    onewire::SearchPass odd;
    odd.rom = roms[0];
    odd.rom[7] ^= 0x80;
    odd.last_discrepancy = 64;
    onewire::SearchPass odd_ref = odd;
    EXPECT_EQ(link->search(odd), reference.search(odd_ref)) << "trial " << trial;
  }
  // An empty list: no device took part.
  std::vector<onewire::Rom> none;
  script->kernel = [&](const Bytes& r) { return answer_as_kernel(r, *bus, &none); };
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  onewire::SearchPass pass;
  EXPECT_EQ(link->search(pass), 0);
}

}  // namespace
